// The WSGI middleware's work per request, natively: the start_response the application
// calls, and the response iterable the server gets (or the server's own file wrapper,
// given the response's close), which records the request once, when the server closes
// it, or as a 500 as soon as the application raises.
#pragma once

#include <Python.h>

namespace wsgi_middleware {

// WsgiMiddleware, the base of the WSGI middleware: it is called as the application, and
// calls the subclass's `_check_first_request(environ)` once and its
// `_serve_metrics(environ, start_response)` for the metrics path. Made once per
// process; nullptr with an error set on failure.
PyObject* middleware_type();

}  // namespace wsgi_middleware
