/*
 * Ardellix: driver library for the kLOV-VR detector probe (USB vendor 0x04D8, product 0xF85D).
 *
 * (The API contract - handles, ownership, errors, null arguments, threads - is written here.)
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
#define ARDELLIX_API __declspec(dllexport)
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
ARDELLIX_API ScaHandle ARDELLIX_CALL OpenSCA(int32_t deviceIndex);
ARDELLIX_API ScaHandle ARDELLIX_CALL OpenSCABootloader(int32_t deviceIndex);
ARDELLIX_API int32_t ARDELLIX_CALL CloseSCA(ScaHandle handle);
ARDELLIX_API int32_t ARDELLIX_CALL ReadSerialNo(ScaHandle handle, char* serial);
ARDELLIX_API int32_t ARDELLIX_CALL ReadDeviceInfo(ScaHandle handle, int32_t selector, char* text);

/* Bootloader */
ARDELLIX_API int32_t ARDELLIX_CALL SetBootloaderFlag(ScaHandle handle, int32_t bootloader);
ARDELLIX_API int32_t ARDELLIX_CALL ResetController(ScaHandle handle);
ARDELLIX_API int32_t ARDELLIX_CALL EraseFlashBlock(ScaHandle handle, uint32_t address);
ARDELLIX_API int32_t ARDELLIX_CALL WriteFlash(ScaHandle handle, uint32_t address,
                                              const uint8_t* data, int32_t length);
ARDELLIX_API int32_t ARDELLIX_CALL VerifyFlash(ScaHandle handle, uint32_t address,
                                               const uint8_t* data, int32_t length);
ARDELLIX_API int32_t ARDELLIX_CALL WriteConfig(ScaHandle handle, uint32_t address,
                                               const uint8_t* data, int32_t length);

/* Detector settings */
ARDELLIX_API int32_t ARDELLIX_CALL SetHV(ScaHandle handle, int32_t value);
ARDELLIX_API int32_t ARDELLIX_CALL ReadHV(ScaHandle handle, int32_t* value);
ARDELLIX_API int32_t ARDELLIX_CALL SetGain(ScaHandle handle, int32_t value);
ARDELLIX_API int32_t ARDELLIX_CALL ReadGain(ScaHandle handle, int32_t* value);
ARDELLIX_API int32_t ARDELLIX_CALL SetLLD(ScaHandle handle, int32_t value);
ARDELLIX_API int32_t ARDELLIX_CALL ReadLLD(ScaHandle handle, int32_t* value);
ARDELLIX_API int32_t ARDELLIX_CALL SetULD(ScaHandle handle, int32_t value);
ARDELLIX_API int32_t ARDELLIX_CALL ReadULD(ScaHandle handle, int32_t* value);
ARDELLIX_API int32_t ARDELLIX_CALL SetIntegralMode(ScaHandle handle, int32_t on);
ARDELLIX_API int32_t ARDELLIX_CALL ReadIntegralMode(ScaHandle handle, int32_t* on);
ARDELLIX_API int32_t ARDELLIX_CALL SetAnalogOutputMode(ScaHandle handle, int32_t on);
ARDELLIX_API int32_t ARDELLIX_CALL ReadAnalogOutputMode(ScaHandle handle, int32_t* on);
ARDELLIX_API int32_t ARDELLIX_CALL SetCPSGain(ScaHandle handle, int32_t value);
ARDELLIX_API int32_t ARDELLIX_CALL ReadCPSGain(ScaHandle handle, int32_t* value);
ARDELLIX_API int32_t ARDELLIX_CALL SetResponseTime(ScaHandle handle, int32_t value);
ARDELLIX_API int32_t ARDELLIX_CALL ReadResponseTime(ScaHandle handle, int32_t* value);
ARDELLIX_API int32_t ARDELLIX_CALL SaveSettings(ScaHandle handle);

/* Count rate */
ARDELLIX_API int32_t ARDELLIX_CALL ReadCPS(ScaHandle handle, int32_t* rate, int32_t* flag);

#ifdef __cplusplus
}
#endif

#endif /* ARDELLIX_H */
