// Loading Ardellix.dll does no device work: libusb starts at the first connection opened.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) {
    return TRUE;
}
