// The entry point of vornik._routes: the module is built in libvornik.
#include "entry_points.hpp"

PyMODINIT_FUNC PyInit__routes() {
    return vornik_routes_init();
}
