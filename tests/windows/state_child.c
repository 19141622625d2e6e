/* A caller that leaves a setting on the simulated probe for the next process to find:
 * "state_child save N" sets the high voltage to N, saves the settings and closes the
 * connection; "leave N" does the same but ends the program with the connection open;
 * "expect N" checks that the probe came up with N. The probe keeps its memories in the state
 * file that KLOVSIM_STATE names. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "ardellix.h"

int main(int argc, char** argv) {
    ScaHandle handle;
    int32_t value = -1;
    int32_t wanted;
    int ok = 1;
    if (argc != 3 || (strcmp(argv[1], "save") != 0 && strcmp(argv[1], "leave") != 0 &&
                      strcmp(argv[1], "expect") != 0)) {
        fprintf(stderr, "usage: state_child save|leave|expect <high voltage>\n");
        return 2;
    }
    wanted = (int32_t)atoi(argv[2]);
    handle = OpenSCA(0);
    if (handle == 0) {
        fprintf(stderr, "no probe\n");
        return 1;
    }
    if (strcmp(argv[1], "expect") != 0) {
        ok = SetHV(handle, wanted) == 1 && SaveSettings(handle) == 1;
        if (strcmp(argv[1], "leave") == 0) {
            return ok ? 0 : 1;
        }
    } else {
        ok = ReadHV(handle, &value) == 1 && value == wanted;
        if (!ok) {
            fprintf(stderr, "high voltage %d, expected %d\n", (int)value, (int)wanted);
        }
    }
    ok = CloseSCA(handle) == 1 && ok;
    return ok ? 0 : 1;
}
