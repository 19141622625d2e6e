/* A library that exports OpenSCA and nothing else. */
#include <stdint.h>

__attribute__((visibility("default"))) uint32_t OpenSCA(int32_t deviceIndex) {
    return deviceIndex == 0 ? 7U : 0U;
}
