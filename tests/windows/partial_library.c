/* A stand-in for Ardellix.dll that exports OpenSCA alone (finding no probe): the binding
 * must bind it, then fail cleanly at the first export it lacks. */
#include <stdint.h>

__attribute__((dllexport)) int32_t OpenSCA(int32_t deviceIndex) {
    (void)deviceIndex;
    return 0;
}
