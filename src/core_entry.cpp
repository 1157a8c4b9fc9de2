// The entry point of vornik._core: the module is built in libvornik.
#include "entry_points.hpp"

PyMODINIT_FUNC PyInit__core() {
    return vornik_core_init();
}
