/* A plain C caller of the library: opens the simulated probe, reads its identity through the
 * public header, closes it, and checks that a null or closed handle is refused. */
#include <stdio.h>
#include <string.h>

#include "ardellix.h"

static int failures = 0;

#define CHECK(cond)                                                            \
    do {                                                                       \
        if (!(cond)) {                                                         \
            fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                                        \
        }                                                                      \
    } while (0)

int main(void) {
    char serial[10];
    char text[32];
    int32_t value = -1;
    ScaHandle handle = OpenSCA(0);
    CHECK(handle != 0);

    memset(serial, 0, sizeof serial);
    CHECK(ReadSerialNo(handle, serial) == 1);
    CHECK(strcmp(serial, "04129901") == 0);

    memset(text, 0, sizeof text);
    CHECK(ReadDeviceInfo(handle, 4, text) == 1);
    CHECK(strcmp(text, "20130704") == 0);
    memset(text, 0, sizeof text);
    CHECK(ReadDeviceInfo(handle, 3, text) == 1);
    CHECK(strcmp(text, "2.1.0") == 0);
    memset(text, 0, sizeof text);
    CHECK(ReadDeviceInfo(handle, 0, text) == 1);
    CHECK(strncmp(text, "kLOV", 4) == 0);

    CHECK(SetHV(handle, 1000) == 1);
    CHECK(ReadHV(handle, &value) == 1);
    CHECK(value == 1000);

    CHECK(CloseSCA(handle) == 1);
    CHECK(CloseSCA(handle) == 0);
    CHECK(ReadSerialNo(handle, serial) == 0);
    CHECK(ReadSerialNo(0, serial) == 0);
    CHECK(CloseSCA(0) == 0);

    if (failures != 0) {
        fprintf(stderr, "%d check(s) failed\n", failures);
        return 1;
    }
    return 0;
}
