/*
 * The names under which Ardellix exports its 29 functions, for programs that load the library
 * at run time and bind each export by name.
 *
 * A 32-bit Windows build exports the decorated stdcall names (an underscore, the name, an at
 * sign and the argument bytes); ELF symbols cannot carry the at sign, so Linux and every other
 * platform export the plain names.
 */
#ifndef ARDELLIX_EXPORTS_H
#define ARDELLIX_EXPORTS_H

#if defined(_WIN32)
#define ARDELLIX_LIBRARY_FILE "Ardellix.dll"
#else
#define ARDELLIX_LIBRARY_FILE "libArdellix.so.1"
#endif

#if defined(_WIN32) && !defined(_WIN64)
#define ARDELLIX_EXPORT_NAME(name, argBytes) "_" #name "@" #argBytes
#else
#define ARDELLIX_EXPORT_NAME(name, argBytes) #name
#endif

/* X-macro over every export: X(name, argument bytes). */
#define ARDELLIX_FOR_EACH_EXPORT(X) \
    X(OpenSCA, 4)                   \
    X(OpenSCABootloader, 4)         \
    X(CloseSCA, 4)                  \
    X(ReadSerialNo, 8)              \
    X(ReadDeviceInfo, 12)           \
    X(SetBootloaderFlag, 8)         \
    X(ResetController, 4)           \
    X(EraseFlashBlock, 8)           \
    X(WriteFlash, 16)               \
    X(VerifyFlash, 16)              \
    X(WriteConfig, 16)              \
    X(SetHV, 8)                     \
    X(ReadHV, 8)                    \
    X(SetGain, 8)                   \
    X(ReadGain, 8)                  \
    X(SetLLD, 8)                    \
    X(ReadLLD, 8)                   \
    X(SetULD, 8)                    \
    X(ReadULD, 8)                   \
    X(SetIntegralMode, 8)           \
    X(ReadIntegralMode, 8)          \
    X(SetAnalogOutputMode, 8)       \
    X(ReadAnalogOutputMode, 8)      \
    X(SetCPSGain, 8)                \
    X(ReadCPSGain, 8)               \
    X(SetResponseTime, 8)           \
    X(ReadResponseTime, 8)          \
    X(SaveSettings, 4)              \
    X(ReadCPS, 12)

#endif /* ARDELLIX_EXPORTS_H */
