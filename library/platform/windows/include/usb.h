/*
 * The libusb 0.1 programming interface as the Windows runtime libusb0.dll provides it: the
 * declarations that the probe library (and the simulated bus that stands in for the DLL in
 * tests) compile against on Windows, in place of the Linux <usb.h>.
 *
 * The DLL's binary interface:
 *   - every structure is byte-packed;
 *   - paths are LIBUSB_PATH_MAX (512) characters;
 *   - the functions are cdecl, with the names and arguments of the Linux interface;
 *   - the bus list is reached through usb_get_busses() (there is no usb_busses variable to
 *     import).
 * Only what the probe library and its stand-in use is declared; the configuration
 * descriptors stay opaque.
 */
#ifndef KLOV_LIBUSB0_USB_H
#define KLOV_LIBUSB0_USB_H

#include <stdint.h>

#define LIBUSB_PATH_MAX 512

#if defined(_WIN32) && !defined(_WIN64)
#define LIBUSB0_CALL __cdecl
#else
#define LIBUSB0_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

#pragma pack(push, 1)

/* The standard USB device descriptor (18 bytes). */
struct usb_device_descriptor {
    uint8_t bLength;
    uint8_t bDescriptorType;
    uint16_t bcdUSB;
    uint8_t bDeviceClass;
    uint8_t bDeviceSubClass;
    uint8_t bDeviceProtocol;
    uint8_t bMaxPacketSize0;
    uint16_t idVendor;
    uint16_t idProduct;
    uint16_t bcdDevice;
    uint8_t iManufacturer;
    uint8_t iProduct;
    uint8_t iSerialNumber;
    uint8_t bNumConfigurations;
};

struct usb_config_descriptor;
struct usb_bus;

struct usb_device {
    struct usb_device* next;
    struct usb_device* prev;
    char filename[LIBUSB_PATH_MAX];
    struct usb_bus* bus;
    struct usb_device_descriptor descriptor;
    struct usb_config_descriptor* config;
    void* dev;
    unsigned char devnum;
    unsigned char num_children;
    struct usb_device** children;
};

struct usb_bus {
    struct usb_bus* next;
    struct usb_bus* prev;
    char dirname[LIBUSB_PATH_MAX];
    struct usb_device* devices;
    unsigned long location;
    struct usb_device* root_dev;
};

#pragma pack(pop)

typedef struct usb_dev_handle usb_dev_handle;

void LIBUSB0_CALL usb_init(void);
int LIBUSB0_CALL usb_find_busses(void);
int LIBUSB0_CALL usb_find_devices(void);
struct usb_bus* LIBUSB0_CALL usb_get_busses(void);

usb_dev_handle* LIBUSB0_CALL usb_open(struct usb_device* dev);
int LIBUSB0_CALL usb_close(usb_dev_handle* dev);
int LIBUSB0_CALL usb_set_configuration(usb_dev_handle* dev, int configuration);
int LIBUSB0_CALL usb_claim_interface(usb_dev_handle* dev, int interface_number);
int LIBUSB0_CALL usb_release_interface(usb_dev_handle* dev, int interface_number);
int LIBUSB0_CALL usb_bulk_write(usb_dev_handle* dev, int ep, const char* bytes, int size,
                                int timeout);
int LIBUSB0_CALL usb_bulk_read(usb_dev_handle* dev, int ep, char* bytes, int size, int timeout);

/* Also in the DLL, for the simulated bus that stands in for it (the library calls none). */
void LIBUSB0_CALL usb_set_debug(int level);
char* LIBUSB0_CALL usb_strerror(void);
/* A function named like the structure, as in the DLL: C++ compilers may warn of the shadow. */
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wshadow"
#endif
struct usb_device* LIBUSB0_CALL usb_device(usb_dev_handle* dev);
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

#define usb_busses usb_get_busses()

#ifdef __cplusplus
}

#include <cstddef>

/* The layout the DLL was built with: no padding anywhere. */
static_assert(sizeof(struct usb_device_descriptor) == 18);
static_assert(offsetof(struct usb_device, filename) == 2 * sizeof(void*));
static_assert(offsetof(struct usb_device, bus) == 2 * sizeof(void*) + LIBUSB_PATH_MAX);
static_assert(offsetof(struct usb_device, descriptor) == 3 * sizeof(void*) + LIBUSB_PATH_MAX);
static_assert(offsetof(struct usb_device, config) == 3 * sizeof(void*) + LIBUSB_PATH_MAX + 18);
static_assert(offsetof(struct usb_device, devnum) == 5 * sizeof(void*) + LIBUSB_PATH_MAX + 18);
static_assert(offsetof(struct usb_device, children) == 5 * sizeof(void*) + LIBUSB_PATH_MAX + 20);
static_assert(sizeof(struct usb_device) == 6 * sizeof(void*) + LIBUSB_PATH_MAX + 20);
static_assert(offsetof(usb_bus, devices) == 2 * sizeof(void*) + LIBUSB_PATH_MAX);
static_assert(offsetof(usb_bus, location) == 3 * sizeof(void*) + LIBUSB_PATH_MAX);
static_assert(offsetof(usb_bus, root_dev) ==
              3 * sizeof(void*) + LIBUSB_PATH_MAX + sizeof(unsigned long));
static_assert(sizeof(usb_bus) == 4 * sizeof(void*) + LIBUSB_PATH_MAX + sizeof(unsigned long));
#endif

#endif /* KLOV_LIBUSB0_USB_H */
