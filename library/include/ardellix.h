/*
 * Ardellix: driver library for the kLOV-VR detector probe (USB vendor 0x04D8, product 0xF85D).
 *
 * Every function talks to the probe over USB bulk transfers (libusb 0.1) and has C linkage.
 *
 * Return values
 *   Every function returns 1 on success and 0 on failure, except OpenSCA and OpenSCABootloader,
 *   which return a connection handle or 0. No error text or code is reported beyond that: a
 *   USB failure, a time-out (each transfer waits at most 100 ms), a reply that does not echo
 *   the request, a reply too short to hold what is read from it, and a refused argument all
 *   give 0. Failed calls leave the connection open and usable, and never write outputs.
 *
 * Handles
 *   A ScaHandle is a small non-zero number issued by the library; 0 means "no connection".
 *   A handle stays valid from a successful open until CloseSCA. Passing 0, a closed handle or
 *   a number the library never issued makes any function return 0 at once, with no USB
 *   traffic. Handles of closed connections are not handed out again soon after.
 *
 * Ownership
 *   The library owns the connection behind a handle; the caller releases it with CloseSCA.
 *   Loading and unloading the library and ending the program do no USB work: a connection
 *   still open then is not closed, and ends with the process. CloseSCA may also be called from
 *   the caller's own static destructors.
 *   The library allocates nothing for the caller. Buffers and output pointers belong to the
 *   caller and are used during the call only. Text outputs are not terminated: the library
 *   writes only the bytes the probe sent and leaves the rest of the buffer as it was, so pass
 *   a zero-filled buffer and read up to the first zero byte.
 *
 * Null arguments
 *   Output pointers of the settings and count-rate reads may be null: the exchange and its
 *   checks still run and the value is dropped. A null text buffer (ReadSerialNo,
 *   ReadDeviceInfo) or a null data pointer with a positive length (WriteFlash, VerifyFlash)
 *   is refused with 0 and nothing is sent. WriteConfig reads only the bytes it sends: a null
 *   data pointer is refused (0, nothing sent) when a byte falls inside the configuration
 *   window, and gives 1 when none does.
 *
 * Threads
 *   Different connections may be used from different threads at the same time, and
 *   connections may be opened and closed from several threads at once: listing the USB
 *   devices, opening and configuring one take one process-wide lock inside the library
 *   (libusb 0.1 keeps its device lists in unguarded globals), transfers take none. A caller
 *   that makes libusb 0.1 calls of its own on another thread is not covered by that lock. One
 *   connection must be used by one thread at a time: a reply is matched to its request only
 *   by order, so concurrent calls on one handle would mix replies. CloseSCA while another
 *   call on the same handle runs is safe (that call completes, then the connection closes).
 *
 * Names
 *   A 32-bit Windows build uses the stdcall convention and exports decorated names: an
 *   underscore, the name, an at sign and the argument bytes (each comment below gives it).
 *   Every other platform exports the plain names.
 *
 * Nothing is ever printed or logged, and no exception crosses this interface.
 */
#ifndef ARDELLIX_H
#define ARDELLIX_H

#include <stdint.h>

#if defined(_WIN32) && !defined(_WIN64)
#define ARDELLIX_CALL __stdcall
#else
#define ARDELLIX_CALL
#endif

#if defined(_WIN32)
#if defined(ARDELLIX_BUILDING)
#define ARDELLIX_API /* the DLL's module definition names the exports */
#else
#define ARDELLIX_API __declspec(dllimport)
#endif
#else
#define ARDELLIX_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t ScaHandle;

/* Connection and identity */
/* _OpenSCA@4: Opens probe deviceIndex (from 0) running its application; handle or 0. */
ARDELLIX_API ScaHandle ARDELLIX_CALL OpenSCA(int32_t deviceIndex);
/* _OpenSCABootloader@4: Opens probe deviceIndex in any mode, no exchange. */
ARDELLIX_API ScaHandle ARDELLIX_CALL OpenSCABootloader(int32_t deviceIndex);
/* _CloseSCA@4: Closes the connection; 1 even if the USB close failed, 0 for an unknown handle. */
ARDELLIX_API int32_t ARDELLIX_CALL CloseSCA(ScaHandle handle);
/* _ReadSerialNo@8: Writes the 9 serial number characters into serial[0..8]. */
ARDELLIX_API int32_t ARDELLIX_CALL ReadSerialNo(ScaHandle handle, char* serial);
/* _ReadDeviceInfo@12: Identity text 0-4 (product, maker, serial, fw, date), <= 30 bytes. */
ARDELLIX_API int32_t ARDELLIX_CALL ReadDeviceInfo(ScaHandle handle, int32_t selector, char* text);

/* Bootloader */
/* _SetBootloaderFlag@8: Nonzero: bootloader at next reset; 0: application. */
ARDELLIX_API int32_t ARDELLIX_CALL SetBootloaderFlag(ScaHandle handle, int32_t bootloader);
/* _ResetController@4: Restarts the probe (no reply); close the handle next. */
ARDELLIX_API int32_t ARDELLIX_CALL ResetController(ScaHandle handle);
/* _EraseFlashBlock@8: Erases the block holding address, 0x0800..0x7FFF. */
ARDELLIX_API int32_t ARDELLIX_CALL EraseFlashBlock(ScaHandle handle, uint32_t address);
/* _WriteFlash@16: 16-byte rows padded with 0xFF, inside 0x0800..0x7FFF. */
ARDELLIX_API int32_t ARDELLIX_CALL WriteFlash(ScaHandle handle, uint32_t address,
                                              const uint8_t* data, int32_t length);
/* _VerifyFlash@16: 1 when flash equals data; range inside 0x0800..0x7FFF. */
ARDELLIX_API int32_t ARDELLIX_CALL VerifyFlash(ScaHandle handle, uint32_t address,
                                               const uint8_t* data, int32_t length);
/* _WriteConfig@16: Bytes in 0x300000..0x30000F; others are skipped. */
ARDELLIX_API int32_t ARDELLIX_CALL WriteConfig(ScaHandle handle, uint32_t address,
                                               const uint8_t* data, int32_t length);

/* Detector settings */
/* _SetHV@8: Sets the high voltage (low 16 bits sent). */
ARDELLIX_API int32_t ARDELLIX_CALL SetHV(ScaHandle handle, int32_t value);
/* _ReadHV@8: Reads the high voltage (0..65535). */
ARDELLIX_API int32_t ARDELLIX_CALL ReadHV(ScaHandle handle, int32_t* value);
/* _SetGain@8: Sets the gain (low 16 bits sent). */
ARDELLIX_API int32_t ARDELLIX_CALL SetGain(ScaHandle handle, int32_t value);
/* _ReadGain@8: Reads the gain (0..65535). */
ARDELLIX_API int32_t ARDELLIX_CALL ReadGain(ScaHandle handle, int32_t* value);
/* _SetLLD@8: Sets the lower-level discriminator (low 16 bits sent). */
ARDELLIX_API int32_t ARDELLIX_CALL SetLLD(ScaHandle handle, int32_t value);
/* _ReadLLD@8: Reads the lower-level discriminator (0..65535). */
ARDELLIX_API int32_t ARDELLIX_CALL ReadLLD(ScaHandle handle, int32_t* value);
/* _SetULD@8: Sets the upper-level discriminator (low 16 bits sent). */
ARDELLIX_API int32_t ARDELLIX_CALL SetULD(ScaHandle handle, int32_t value);
/* _ReadULD@8: Reads the upper-level discriminator (0..65535). */
ARDELLIX_API int32_t ARDELLIX_CALL ReadULD(ScaHandle handle, int32_t* value);
/* _SetIntegralMode@8: Turns integral mode on (nonzero) or off (0). */
ARDELLIX_API int32_t ARDELLIX_CALL SetIntegralMode(ScaHandle handle, int32_t on);
/* _ReadIntegralMode@8: Reads integral mode: 1 on, 0 off. */
ARDELLIX_API int32_t ARDELLIX_CALL ReadIntegralMode(ScaHandle handle, int32_t* on);
/* _SetAnalogOutputMode@8: Turns the analog output mode on (nonzero) or off (0). */
ARDELLIX_API int32_t ARDELLIX_CALL SetAnalogOutputMode(ScaHandle handle, int32_t on);
/* _ReadAnalogOutputMode@8: Reads the analog output mode: 1 on, 0 off. */
ARDELLIX_API int32_t ARDELLIX_CALL ReadAnalogOutputMode(ScaHandle handle, int32_t* on);
/* _SetCPSGain@8: Sets the count-rate gain (low 8 bits sent). */
ARDELLIX_API int32_t ARDELLIX_CALL SetCPSGain(ScaHandle handle, int32_t value);
/* _ReadCPSGain@8: Reads the count-rate gain (0..255). */
ARDELLIX_API int32_t ARDELLIX_CALL ReadCPSGain(ScaHandle handle, int32_t* value);
/* _SetResponseTime@8: Sets the response time (low 8 bits sent). */
ARDELLIX_API int32_t ARDELLIX_CALL SetResponseTime(ScaHandle handle, int32_t value);
/* _ReadResponseTime@8: Reads the response time (0..255). */
ARDELLIX_API int32_t ARDELLIX_CALL ReadResponseTime(ScaHandle handle, int32_t* value);
/* _SaveSettings@4: Asks the probe to store its current settings so they survive a restart. */
ARDELLIX_API int32_t ARDELLIX_CALL SaveSettings(ScaHandle handle);

/* Count rate */
/* _ReadCPS@12: Reads the count rate (0..65535) and the status flag (1 when set). */
ARDELLIX_API int32_t ARDELLIX_CALL ReadCPS(ScaHandle handle, int32_t* rate, int32_t* flag);

#ifdef __cplusplus
}
#endif

#endif /* ARDELLIX_H */
