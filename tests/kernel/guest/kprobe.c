/* A small test program that runs inside the virtual machine: the shipping libArdellix.so.1 over
 * Debian's libusb 0.1 over the guest's kernel. It prints its findings as lines starting with
 * "@@ " on standard output, which the host reads from the serial console.
 *
 *   kprobe scan COUNT [ADDR HEX]  each index from 0 to COUNT: opening in both modes with its
 *                                 duration, the identity of an application; on a probe that
 *                                 opens only as a bootloader, VerifyFlash at ADDR with HEX and
 *                                 with one bit flipped
 *   kprobe list TAG               index -> serial number ("bootloader" for a probe in its
 *                                 bootloader), up to the first index that does not open
 *   kprobe restart INDEX          lists, restarts the probe at INDEX (ResetController), waits
 *                                 until libusb lists it again and lists again, all in this one
 *                                 process
 * Exit status: 0 when the command could run, 1 otherwise. */
#define _POSIX_C_SOURCE 200809L

#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>

#include <usb.h>

#include "ardellix.h"

#define MAX_PROBES 8

/* The guest runs nothing that sets its clock, so the time of day serves as a steady clock. */
static double NowMs(void) {
    struct timeval t;
    gettimeofday(&t, NULL);
    return (double)t.tv_sec * 1000.0 + (double)t.tv_usec / 1e3;
}

static void SleepMs(long ms) {
    poll(NULL, 0, (int)ms);
}

/* The text a probe put into a zero-filled buffer, up to its first zero byte. */
static void Info(ScaHandle h, int selector, char* out, size_t size) {
    char text[32];
    memset(text, 0, sizeof text);
    if (ReadDeviceInfo(h, selector, text) == 1) {
        text[sizeof text - 1] = '\0';
        snprintf(out, size, "%s", text);
    } else {
        snprintf(out, size, "(failed)");
    }
}

static int Serial(ScaHandle h, char* out, size_t size) {
    char text[10];
    memset(text, 0, sizeof text);
    if (ReadSerialNo(h, text) != 1) {
        snprintf(out, size, "(failed)");
        return 0;
    }
    text[9] = '\0';
    snprintf(out, size, "%s", text);
    return 1;
}

static int ParseHex(const char* hex, unsigned char* out, int max) {
    int n = 0;
    while (hex[0] != '\0' && hex[1] != '\0' && n < max) {
        unsigned value;
        if (sscanf(hex, "%2x", &value) != 1) {
            return -1;
        }
        out[n++] = (unsigned char)value;
        hex += 2;
    }
    return hex[0] == '\0' ? n : -1;
}

static int Scan(int count, const char* address, const char* hex) {
    unsigned char expected[64];
    int length = 0;
    unsigned long at = 0;
    if (address != NULL) {
        at = strtoul(address, NULL, 0);
        length = ParseHex(hex, expected, (int)sizeof expected);
        if (length <= 0) {
            fprintf(stderr, "kprobe: bad bytes %s\n", hex);
            return 1;
        }
    }
    for (int index = 0; index <= count; ++index) {
        const double start = NowMs();
        ScaHandle h = OpenSCA(index);
        const double appMs = NowMs() - start;
        const int application = h != 0;
        printf("@@ scan index=%d app=%d app_ms=%.1f", index, application, appMs);
        if (application) {
            static const char* const keys[] = {"product", "manufacturer", "info_serial", "version",
                                               "date"};
            char text[40];
            Serial(h, text, sizeof text);
            printf(" serial=%s", text);
            for (int selector = 0; selector < 5; ++selector) {
                Info(h, selector, text, sizeof text);
                printf(" %s=%s", keys[selector], text);
            }
            printf(" close=%d", (int)CloseSCA(h));
        }
        h = OpenSCABootloader(index);
        printf(" boot=%d", h != 0);
        if (h != 0 && !application && length > 0) {
            int good = VerifyFlash(h, (uint32_t)at, expected, length);
            expected[length / 2] ^= 0x01;
            int bad = VerifyFlash(h, (uint32_t)at, expected, length);
            expected[length / 2] ^= 0x01;
            printf(" verify_good=%d verify_flipped=%d", good, bad);
        }
        if (h != 0) {
            CloseSCA(h);
        }
        printf("\n");
        fflush(stdout);
    }
    return 0;
}

/* index -> serial number; returns how many indices opened. */
static int Listing(char serials[MAX_PROBES][16]) {
    int n = 0;
    for (; n < MAX_PROBES; ++n) {
        ScaHandle h = OpenSCA(n);
        if (h != 0) {
            Serial(h, serials[n], sizeof serials[n]);
            CloseSCA(h);
            continue;
        }
        h = OpenSCABootloader(n);
        if (h == 0) {
            break;
        }
        snprintf(serials[n], sizeof serials[n], "bootloader");
        CloseSCA(h);
    }
    return n;
}

static void PrintListing(const char* tag, char serials[MAX_PROBES][16], int n) {
    printf("@@ list %s", tag);
    for (int i = 0; i < n; ++i) {
        printf(" %d=%s", i, serials[i]);
    }
    printf("\n");
    /* The device list of libusb 0.1 in this process as the library last left it: the
     * order in which the library counts device indices. */
    printf("@@ libusb %s", tag);
    for (struct usb_bus* bus = usb_get_busses(); bus != NULL; bus = bus->next) {
        for (struct usb_device* dev = bus->devices; dev != NULL; dev = dev->next) {
            printf(" %s/%s=%04x:%04x", bus->dirname, dev->filename, dev->descriptor.idVendor,
                   dev->descriptor.idProduct);
        }
    }
    printf("\n");
    fflush(stdout);
}

/* Probes on the bus as libusb 0.1 in this process lists them now (it refreshes its list). */
static int ProbesOnBus(void) {
    int n = 0;
    usb_find_busses();
    usb_find_devices();
    for (struct usb_bus* bus = usb_get_busses(); bus != NULL; bus = bus->next) {
        for (struct usb_device* dev = bus->devices; dev != NULL; dev = dev->next) {
            n += dev->descriptor.idVendor == 0x04D8 && dev->descriptor.idProduct == 0xF85D;
        }
    }
    return n;
}

/* Polls libusb's list every 10 ms until `done` says so or `limitMs` passed. */
static int WaitForProbes(int (*done)(int, int), int count, double limitMs) {
    const double start = NowMs();
    while (NowMs() - start < limitMs) {
        if (done(ProbesOnBus(), count)) {
            return 1;
        }
        SleepMs(10);
    }
    return 0;
}
static int Fewer(int now, int count) {
    return now < count;
}
static int AsMany(int now, int count) {
    return now >= count;
}

/* The restart is awaited through libusb directly, not through the library: a connection
 * opened while a device appears could bind its two channels to two probes. */
static int Restart(int index) {
    char serials[MAX_PROBES][16];
    const int before = Listing(serials);
    PrintListing("before-same-process", serials, before);
    ScaHandle h = OpenSCA(index);
    if (h == 0) {
        fprintf(stderr, "kprobe: no probe answers at index %d\n", index);
        return 1;
    }
    const int reset = ResetController(h);
    CloseSCA(h);
    const double start = NowMs();
    printf("@@ restart index=%d reset=%d\n", index, reset);
    fflush(stdout);
    const int left = WaitForProbes(Fewer, before, 2000.0);
    const double leftMs = NowMs() - start;
    const int back = left && WaitForProbes(AsMany, before, 20000.0);
    printf("@@ restart left_ms=%.0f back_ms=%.0f\n", left ? leftMs : -1.0,
           back ? NowMs() - start : -1.0);
    const int now = Listing(serials);
    PrintListing("after-same-process", serials, now);
    return back && now == before ? 0 : 1;
}

int main(int argc, char** argv) {
    if (argc >= 3 && strcmp(argv[1], "scan") == 0) {
        return Scan(atoi(argv[2]), argc >= 5 ? argv[3] : NULL, argc >= 5 ? argv[4] : NULL);
    }
    if (argc == 3 && strcmp(argv[1], "list") == 0) {
        char serials[MAX_PROBES][16];
        PrintListing(argv[2], serials, Listing(serials));
        return 0;
    }
    if (argc == 3 && strcmp(argv[1], "restart") == 0) {
        return Restart(atoi(argv[2]));
    }
    fprintf(stderr, "usage: kprobe scan COUNT [ADDR HEX] | list TAG | restart INDEX\n");
    return 1;
}
