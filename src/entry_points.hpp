// The initialisers of the two extension modules, in libvornik with all the code the
// modules run; each module's own object holds only the entry point that calls one.
#pragma once

#include <Python.h>

extern "C" {
__attribute__((visibility("default"))) PyObject* vornik_core_init();
__attribute__((visibility("default"))) PyObject* vornik_routes_init();
}
