// The middleware's base runs each request of the application: it hands the application
// its own start_response, which notes the status (and Flask's URL rule while the
// request context still holds it), and hands the server a response iterable in place
// of the application's, which records the request when the server closes it; the
// server's own file wrapper goes back as it is, with that close in place of its own. A
// request runs amid a framework's code and finds this code cold: natively, and without a
// Python frame of its own, it costs a fraction of what the same objects cost in Python.
#include "wsgi_middleware.hpp"

#include <cstdint>
#include <string>
#include <string_view>

#include "py_ref.hpp"
#include "recording.hpp"
#include "surface.hpp"
#include "worker_slots.hpp"

namespace wsgi_middleware {

namespace {

// Environ keys, attribute names and texts, made once.
struct Names {
    PyObject* route;             // the key an application or Flask's rule fills
    PyObject* werkzeug_request;  // where Flask keeps its request during the request
    PyObject* request_method;
    PyObject* script_name;
    PyObject* path_info;
    PyObject* file_wrapper;
    PyObject* url_rule;
    PyObject* rule;
    PyObject* close;
    PyObject* class_;
    PyObject* unmatched;
    PyObject* server_error;
    PyObject* check_first_request;  // the Python side's hooks
    PyObject* serve_metrics;
};
Names NAMES;

PyTypeObject* MIDDLEWARE_TYPE = nullptr;
PyTypeObject* RESPONSE_TYPE = nullptr;
PyTypeObject* SIZED_RESPONSE_TYPE = nullptr;

// The settings are fields, read on every request without an attribute lookup; Python
// reaches them as properties.
struct Middleware {
    PyObject_HEAD PyObject* app;
    PyObject* metrics_path;  // str, or None for no metrics path
    PyObject* route_of;      // route of (script name, path info), or None
    bool path_template;
    bool route_from_path;
    bool unchecked;  // until the first request has been checked for several workers
};

struct Response {
    PyObject_HEAD Middleware* middleware;
    PyObject* environ;
    PyObject* start_response;  // the server's
    PyObject* status;          // the last status the application started; None before
    PyObject* flask_rule;      // Flask's URL rule at the last start, or None
    PyObject* result;          // the application's iterable; None while it runs
    PyObject* wrapper_close;   // the server's file wrapper's own close, once it has ours
    PyObject* iterator;        // over `result`, from the server's first item on
    std::int64_t start_ns;
    bool done;
    bool in_flight;  // counted in this process's figures until the server closes it
};

Response* as_response(PyObject* self) {
    return reinterpret_cast<Response*>(self);
}
Middleware* as_middleware(PyObject* self) {
    return reinterpret_cast<Middleware*>(self);
}

// Ends the response's request in the figures of requests in flight, once; the clock of
// its end.
std::int64_t end_in_flight(Response* self) {
    if (!self->in_flight) return worker_slots::clock_ns();
    self->in_flight = false;
    return recording::end_request();
}

void replace(PyObject*& field, PyObject* value) {
    Py_XINCREF(value);
    PyObject* old = field;
    field = value;
    Py_XDECREF(old);
}

// environ[key], or nothing when it is absent; an error of the mapping stays set.
PyRef item(PyObject* environ, PyObject* key) {
    if (PyDict_Check(environ)) return PyRef::borrow(PyDict_GetItemWithError(environ, key));
    PyObject* value = PyObject_GetItem(environ, key);
    if (value == nullptr && PyErr_ExceptionMatches(PyExc_KeyError)) PyErr_Clear();
    return PyRef::steal(value);
}

// A text for the record, and what keeps its bytes alive.
struct Text {
    PyRef owner;
    std::string storage;
    std::string_view view;
};

// Code points below 256 take at most two UTF-8 bytes, led by 0xC2 or 0xC3: the bytes a
// WSGI server decoded as latin-1, or nothing when the text holds other characters.
bool latin1_bytes(std::string_view utf8, std::string& out) {
    out.clear();
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        const auto byte = static_cast<unsigned char>(utf8[i]);
        if (byte < 0x80) {
            out += static_cast<char>(byte);
        } else if ((byte == 0xC2 || byte == 0xC3) && i + 1 < utf8.size()) {
            const auto next = static_cast<unsigned char>(utf8[++i]);
            out += static_cast<char>(((byte & 0x03) << 6) | (next & 0x3F));
        } else {
            return false;
        }
    }
    return true;
}

// environ[key] as the text the client meant: WSGI hands over bytes as latin-1 code
// points, which are decoded as UTF-8 here. Absent or not a str reads as empty.
bool wsgi_text(PyObject* environ, PyObject* key, Text& out) {
    out.owner = item(environ, key);
    if (!out.owner) return !PyErr_Occurred();
    if (!PyUnicode_Check(out.owner.get())) return true;
    if (!recording::utf8_of(out.owner.get(), out.storage, out.view)) return false;
    std::string raw;
    for (const char c : out.view) {
        if (static_cast<unsigned char>(c) < 0x80) continue;
        if (!latin1_bytes(out.view, raw)) return true;  // not a WSGI string: as it is
        out.owner = PyRef::steal(
            PyUnicode_DecodeUTF8(raw.data(), static_cast<Py_ssize_t>(raw.size()), "replace"));
        return out.owner && recording::utf8_of(out.owner.get(), out.storage, out.view);
    }
    return true;
}

// The route of a request the framework named no template for: what the middleware's
// `route_of` (Django's resolver) gives for the request's script name and path.
bool resolved_route(PyObject* route_of, const Text& script, const Text& path_info, Text& out) {
    const PyRef script_text = PyRef::steal(text_to_python(script.view));
    const PyRef path_text = PyRef::steal(text_to_python(path_info.view));
    if (!script_text || !path_text) return false;
    out.owner = PyRef::steal(
        PyObject_CallFunctionObjArgs(route_of, script_text.get(), path_text.get(), nullptr));
    return out.owner && recording::utf8_of(out.owner.get(), out.storage, out.view);
}

// `text` under the application's mount point `script_name`, kept in `storage` if joined.
std::string_view below(std::string_view script_name, std::string_view text, std::string& storage) {
    if (script_name.empty()) return text;
    return storage.append(script_name).append(text);
}

// Records the request once: its method, path and route from the environ as it is now.
bool finish(Response* self, PyObject* status) {
    if (self->done) return true;
    self->done = true;
    const double duration_ms = static_cast<double>(end_in_flight(self) - self->start_ns) / 1e6;
    PyObject* environ = self->environ;
    const Middleware* middleware = self->middleware;
    Text method, script, path_info, route;
    if (!wsgi_text(environ, NAMES.request_method, method) ||
        !wsgi_text(environ, NAMES.script_name, script) ||
        !wsgi_text(environ, NAMES.path_info, path_info))
        return false;
    std::string joined_path;
    const std::string_view path = below(script.view, path_info.view, joined_path);

    route.owner = item(environ, NAMES.route);
    if (!route.owner) {
        if (PyErr_Occurred()) return false;
        route.owner = PyRef::borrow(self->flask_rule);
    }
    std::string joined_route;
    std::string_view route_text;
    bool known = true;
    if (PyUnicode_Check(route.owner.get())) {
        // Set by the application or taken from Flask's rule: text already, not WSGI bytes.
        if (!recording::utf8_of(route.owner.get(), route.storage, route.view)) return false;
        route_text = below(script.view, route.view, joined_route);
    } else if (middleware->route_of != Py_None) {
        if (!resolved_route(middleware->route_of, script, path_info, route)) return false;
        route_text = route.view;
    } else {
        // No router named a template: the path is a route only where the application
        // asked for it.
        known = false;
        route_text = middleware->route_from_path ? path : std::string_view("<unmatched>");
    }
    const std::string_view stored_path = known && middleware->path_template ? route_text : path;
    return recording::record_response(method.view, stored_path, status, duration_ms, route_text);
}

// Records a 500 for the error the application raised, which stays set. A failure to
// record is reported as unraisable: it must not take the place of the application's.
PyObject* failed(Response* self) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (!guarded([&] { return finish(self, NAMES.server_error) ? Py_None : nullptr; }))
        PyErr_WriteUnraisable(reinterpret_cast<PyObject*>(self));
    PyErr_Restore(type, value, traceback);
    return nullptr;
}

// Flask keeps its request under Werkzeug's key while the request context lasts and
// clears it when the context ends, before the server closes the response: the rule is
// taken now (a template the application sets in the environ still comes first). A
// request object without a rule (plain Werkzeug) or none (another application) gives
// nothing to take.
bool take_flask_rule(Response* self) {
    const PyRef request = item(self->environ, NAMES.werkzeug_request);
    if (!request || request.get() == Py_None) return !PyErr_Occurred();
    const PyRef rule = PyRef::steal(PyObject_GetAttr(request.get(), NAMES.url_rule));
    if (!rule) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        return true;
    }
    PyObject* template_text = rule.get() == Py_None ? (Py_INCREF(NAMES.unmatched), NAMES.unmatched)
                                                    : PyObject_GetAttr(rule.get(), NAMES.rule);
    if (template_text == nullptr) return false;
    replace(self->flask_rule, template_text);
    Py_DECREF(template_text);
    return true;
}

PyObject* start_response(PyObject* self_object, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        Response* self = as_response(self_object);
        const Py_ssize_t given = PyTuple_Size(args);
        if ((kwargs != nullptr && PyDict_Size(kwargs) > 0) || given < 2 || given > 3) {
            PyErr_Format(PyExc_TypeError,
                         "start_response() takes 2 or 3 positional arguments (status, "
                         "headers, exc_info) but %zd were given",
                         given);
            return nullptr;
        }
        replace(self->status, PyTuple_GetItem(args, 0));
        if (!take_flask_rule(self)) return nullptr;
        return PyObject_Call(self->start_response, args, nullptr);
    });
}

PyObject* next_block(PyObject* self_object) {
    return guarded([&]() -> PyObject* {
        Response* self = as_response(self_object);
        if (self->iterator == nullptr) {
            self->iterator = PyObject_GetIter(self->result);
            if (self->iterator == nullptr) return failed(self);
        }
        PyObject* block = PyIter_Next(self->iterator);
        if (block == nullptr && PyErr_Occurred()) return failed(self);
        return block;
    });
}

// The close of the application's iterable: a file wrapper's own, taken once, which ends
// the cycle of a wrapper whose close is its own bound method; else the iterable's.
PyRef close_of_result(Response* self) {
    if (self->wrapper_close != Py_None) {
        PyRef own = PyRef::steal(self->wrapper_close);
        Py_INCREF(Py_None);
        self->wrapper_close = Py_None;
        return own;
    }
    return PyRef::steal(PyObject_GetAttr(self->result, NAMES.close));
}

PyObject* close(PyObject* self_object, PyObject*) {
    return guarded([&]() -> PyObject* {
        Response* self = as_response(self_object);
        const PyRef close_result = close_of_result(self);
        if (close_result) {
            if (!PyRef::steal(PyObject_CallNoArgs(close_result.get()))) return failed(self);
        } else if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
        } else {
            return failed(self);
        }
        // No status (start_response never called) is recorded as the 500 the server
        // answers then.
        if (!finish(self, self->status)) return nullptr;
        Py_RETURN_NONE;
    });
}

// Only a response whose application returned a sized iterable has a length: servers
// that count blocks (wsgiref) set Content-Length from it, and waitress calls len() on
// whatever offers it.
Py_ssize_t length(PyObject* self_object) {
    return PyObject_Length(as_response(self_object)->result);
}

int traverse_response(PyObject* self_object, visitproc visit, void* arg) {
    Response* self = as_response(self_object);
    Py_VISIT(Py_TYPE(self_object));
    Py_VISIT(reinterpret_cast<PyObject*>(self->middleware));
    Py_VISIT(self->environ);
    Py_VISIT(self->start_response);
    Py_VISIT(self->status);
    Py_VISIT(self->flask_rule);
    Py_VISIT(self->result);
    Py_VISIT(self->wrapper_close);
    Py_VISIT(self->iterator);
    return 0;
}

int clear_response(PyObject* self_object) {
    Response* self = as_response(self_object);
    if (self->in_flight) end_in_flight(self);  // dropped without being closed
    Py_CLEAR(self->middleware);
    Py_CLEAR(self->environ);
    Py_CLEAR(self->start_response);
    Py_CLEAR(self->status);
    Py_CLEAR(self->flask_rule);
    Py_CLEAR(self->result);
    Py_CLEAR(self->wrapper_close);
    Py_CLEAR(self->iterator);
    return 0;
}

template <inquiry Clear>
void dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    Clear(self);
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
    Py_DECREF(type);  // instances of heap types own a reference to their type
}

bool is_sized(PyObject* iterable) {
    PyTypeObject* type = Py_TYPE(iterable);
    return PyType_GetSlot(type, Py_sq_length) != nullptr ||
           PyType_GetSlot(type, Py_mp_length) != nullptr;
}

PyRef new_response(Middleware* middleware, PyObject* environ, PyObject* server_start_response) {
    PyRef self = PyRef::steal(PyType_GenericAlloc(RESPONSE_TYPE, 0));
    if (!self) return self;
    Response* response = as_response(self.get());
    replace(reinterpret_cast<PyObject*&>(response->middleware),
            reinterpret_cast<PyObject*>(middleware));
    replace(response->environ, environ);
    replace(response->start_response, server_start_response);
    replace(response->status, Py_None);
    replace(response->flask_rule, Py_None);
    replace(response->result, Py_None);
    replace(response->wrapper_close, Py_None);
    response->start_ns = recording::begin_request();
    response->in_flight = true;
    return self;
}

// A file wrapper of the server's own type (`wsgi.file_wrapper`) goes back to the server
// as it is, for the server's own way of sending a file (gunicorn's sendfile, waitress's
// length and buffer), which a response around it would hide: its close becomes the
// response's, which closes the file and records. A wrapper that takes no attribute
// named close (slots) stays inside a response, as any other iterable does.
bool hand_over_file_wrapper(PyObject* response, PyObject* environ, PyObject* result,
                            bool& handed_over) {
    handed_over = false;
    const PyRef wrapper_type = item(environ, NAMES.file_wrapper);
    if (!wrapper_type) return !PyErr_Occurred();
    if (!PyType_Check(wrapper_type.get()) ||
        !PyObject_TypeCheck(result, reinterpret_cast<PyTypeObject*>(wrapper_type.get())))
        return true;
    PyRef own_close = PyRef::steal(PyObject_GetAttr(result, NAMES.close));
    if (!own_close) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        own_close = PyRef::borrow(Py_None);
    }
    const PyRef response_close = PyRef::steal(PyObject_GetAttr(response, NAMES.close));
    if (!response_close) return false;
    if (PyObject_SetAttr(result, NAMES.close, response_close.get()) < 0) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        return true;
    }
    replace(as_response(response)->wrapper_close, own_close.get());
    handed_over = true;
    return true;
}

// Runs the application on the request and gives the server the response to iterate
// and close.
PyObject* run_application(Middleware* self, PyObject* environ, PyObject* server_start_response) {
    PyRef response = new_response(self, environ, server_start_response);
    if (!response) return nullptr;
    PyRef result =
        PyRef::steal(PyObject_CallFunctionObjArgs(self->app, environ, response.get(), nullptr));
    if (!result) return failed(as_response(response.get()));
    bool handed_over = false;
    if (!hand_over_file_wrapper(response.get(), environ, result.get(), handed_over))
        return failed(as_response(response.get()));
    if (handed_over) return result.release();
    replace(as_response(response.get())->result, result.get());
    if (is_sized(result.get()) &&
        PyObject_SetAttr(response.get(), NAMES.class_,
                         reinterpret_cast<PyObject*>(SIZED_RESPONSE_TYPE)) < 0)
        return nullptr;
    return response.release();
}

// Whether the request is for the metrics path: the text the client meant, as recorded,
// so that a path beyond ASCII matches what the server decoded as latin-1.
bool is_metrics_path(const Middleware* self, PyObject* environ, bool& out) {
    out = false;
    if (self->metrics_path == Py_None) return true;
    Text path_info, metrics_path;
    if (!wsgi_text(environ, NAMES.path_info, path_info) ||
        !recording::utf8_of(self->metrics_path, metrics_path.storage, metrics_path.view))
        return false;
    out = path_info.view == metrics_path.view;
    return true;
}

// middleware(environ, start_response), as the server calls it.
PyObject* call_middleware(PyObject* self_object, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        Middleware* self = as_middleware(self_object);
        PyObject *environ, *server_start_response;
        if (kwargs != nullptr && PyDict_Size(kwargs) > 0) {
            PyErr_SetString(PyExc_TypeError, "a WSGI application takes no keyword arguments");
            return nullptr;
        }
        if (!PyArg_UnpackTuple(args, "WSGI application", 2, 2, &environ, &server_start_response))
            return nullptr;
        if (self->unchecked) {
            self->unchecked = false;
            if (!PyRef::steal(PyObject_CallMethodObjArgs(self_object, NAMES.check_first_request,
                                                         environ, nullptr)))
                return nullptr;
        }
        bool metrics = false;
        if (!is_metrics_path(self, environ, metrics)) return nullptr;
        if (metrics)
            return PyObject_CallMethodObjArgs(self_object, NAMES.serve_metrics, environ,
                                              server_start_response, nullptr);
        return run_application(self, environ, server_start_response);
    });
}

PyObject* new_middleware(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = PyType_GenericAlloc(type, 0);
    if (self == nullptr) return nullptr;
    Middleware* middleware = as_middleware(self);
    for (PyObject** field : {&middleware->app, &middleware->metrics_path, &middleware->route_of})
        replace(*field, Py_None);
    middleware->unchecked = true;
    return self;
}

int traverse_middleware(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_middleware(self)->app);
    Py_VISIT(as_middleware(self)->metrics_path);
    Py_VISIT(as_middleware(self)->route_of);
    return 0;
}

int clear_middleware(PyObject* self) {
    Py_CLEAR(as_middleware(self)->app);
    Py_CLEAR(as_middleware(self)->metrics_path);
    Py_CLEAR(as_middleware(self)->route_of);
    return 0;
}

// Properties over the middleware's fields: `closure` is the field's offset. The Python
// side checks values before it sets them; `None` stands for nothing.
template <typename Field>
Field& field(PyObject* self, void* closure) {
    return *reinterpret_cast<Field*>(reinterpret_cast<char*>(self) +
                                     reinterpret_cast<std::uintptr_t>(closure));
}

bool deleting(PyObject* value) {
    if (value != nullptr) return false;
    PyErr_SetString(PyExc_AttributeError, "the middleware's settings cannot be deleted");
    return true;
}

PyObject* get_object(PyObject* self, void* closure) {
    PyObject* value = field<PyObject*>(self, closure);
    if (value == nullptr) value = Py_None;  // cleared by the cyclic collector
    Py_INCREF(value);
    return value;
}

int set_object(PyObject* self, PyObject* value, void* closure) {
    if (deleting(value)) return -1;
    replace(field<PyObject*>(self, closure), value);
    return 0;
}

PyObject* get_flag(PyObject* self, void* closure) {
    return PyBool_FromLong(field<bool>(self, closure));
}

int set_flag(PyObject* self, PyObject* value, void* closure) {
    if (deleting(value)) return -1;
    const int truth = PyObject_IsTrue(value);
    if (truth < 0) return -1;
    field<bool>(self, closure) = truth == 1;
    return 0;
}

#define VRK_FIELD(kind, name, doc)                                \
    {                                                             \
#name, get_##kind, set_##kind, const_cast < char*>(doc),  \
            reinterpret_cast < void*>(offsetof(Middleware, name)) \
    }

PyGetSetDef MIDDLEWARE_FIELDS[] = {
    VRK_FIELD(object, app, "The wrapped WSGI application."),
    VRK_FIELD(object, metrics_path, "The path answered with the metrics document, or None."),
    VRK_FIELD(flag, path_template, "Whether the store keeps route templates for paths."),
    VRK_FIELD(flag, route_from_path, "Whether a request without a template counts by path."),
    {"_route_of", get_object, set_object, nullptr,
     reinterpret_cast<void*>(offsetof(Middleware, route_of))},
    {"_unchecked", get_flag, set_flag, nullptr,
     reinterpret_cast<void*>(offsetof(Middleware, unchecked))},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#undef VRK_FIELD

PyMethodDef RESPONSE_METHODS[] = {
    {"close", close, METH_NOARGS,
     "close($self)\n--\n\nCloses the application's iterable and records the request."},
    {nullptr, nullptr, 0, nullptr},
};

template <typename Function>
void* slot(Function function) {
    return reinterpret_cast<void*>(function);
}

PyTypeObject* make_type(const char* name, int size, unsigned long flags, PyType_Slot* slots,
                        PyObject* base = nullptr) {
    PyType_Spec type_layout = {
        name, size, 0, static_cast<unsigned int>(Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | flags),
        slots};
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpecWithBases(&type_layout, base));
}

bool make_names() {
    const std::pair<PyObject**, const char*> names[] = {
        {&NAMES.route, "vornik.route"},
        {&NAMES.werkzeug_request, "werkzeug.request"},
        {&NAMES.request_method, "REQUEST_METHOD"},
        {&NAMES.script_name, "SCRIPT_NAME"},
        {&NAMES.path_info, "PATH_INFO"},
        {&NAMES.file_wrapper, "wsgi.file_wrapper"},
        {&NAMES.url_rule, "url_rule"},
        {&NAMES.rule, "rule"},
        {&NAMES.close, "close"},
        {&NAMES.class_, "__class__"},
        {&NAMES.unmatched, "<unmatched>"},
        {&NAMES.check_first_request, "_check_first_request"},
        {&NAMES.serve_metrics, "_serve_metrics"},
    };
    for (const auto& [name, text] : names) {
        *name = PyUnicode_InternFromString(text);
        if (*name == nullptr) return false;
    }
    NAMES.server_error = PyLong_FromLong(500);
    return NAMES.server_error != nullptr;
}

bool make_types() {
    PyType_Slot response_slots[] = {
        {Py_tp_doc, const_cast<char*>("A request in flight: the response the server iterates "
                                      "and closes, and the start_response the application calls.")},
        {Py_tp_call, slot(start_response)},
        {Py_tp_iter, slot(PyObject_SelfIter)},
        {Py_tp_iternext, slot(next_block)},
        {Py_tp_methods, RESPONSE_METHODS},
        {Py_tp_traverse, slot(traverse_response)},
        {Py_tp_clear, slot(clear_response)},
        {Py_tp_dealloc, slot(dealloc<clear_response>)},
        {0, nullptr},
    };
    // Flags, size and dealloc equal the base's, so that a response can turn into the
    // sized kind once the application's iterable is known.
    PyType_Slot sized_slots[] = {
        {Py_sq_length, slot(length)},
        {Py_tp_traverse, slot(traverse_response)},
        {Py_tp_clear, slot(clear_response)},
        {Py_tp_dealloc, slot(dealloc<clear_response>)},
        {0, nullptr},
    };
    PyType_Slot middleware_slots[] = {
        {Py_tp_doc, const_cast<char*>("The WSGI middleware's work per request.")},
        {Py_tp_new, slot(new_middleware)},
        {Py_tp_call, slot(call_middleware)},
        {Py_tp_getset, MIDDLEWARE_FIELDS},
        {Py_tp_traverse, slot(traverse_middleware)},
        {Py_tp_clear, slot(clear_middleware)},
        {Py_tp_dealloc, slot(dealloc<clear_middleware>)},
        {0, nullptr},
    };
    // Responses come only from a middleware; their type changes once, so it stays mutable.
    const unsigned long response_flags = Py_TPFLAGS_DISALLOW_INSTANTIATION;
    RESPONSE_TYPE = make_type("vornik._routes.WsgiResponse", sizeof(Response),
                              response_flags | Py_TPFLAGS_BASETYPE, response_slots);
    if (RESPONSE_TYPE == nullptr) return false;
    SIZED_RESPONSE_TYPE =
        make_type("vornik._routes.SizedWsgiResponse", sizeof(Response), response_flags, sized_slots,
                  reinterpret_cast<PyObject*>(RESPONSE_TYPE));
    if (SIZED_RESPONSE_TYPE == nullptr) return false;
    MIDDLEWARE_TYPE = make_type("vornik._routes.WsgiMiddleware", sizeof(Middleware),
                                Py_TPFLAGS_BASETYPE, middleware_slots);
    return MIDDLEWARE_TYPE != nullptr;
}

}  // namespace

PyObject* middleware_type() {
    if (MIDDLEWARE_TYPE == nullptr && !(make_names() && make_types())) return nullptr;
    Py_INCREF(MIDDLEWARE_TYPE);
    return reinterpret_cast<PyObject*>(MIDDLEWARE_TYPE);
}

}  // namespace wsgi_middleware
