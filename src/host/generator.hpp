// The generator type of the library's lazy streams. A stream's reader is a
// StreamBody, a resumable state machine; the generator object gives it the
// host's generator protocol (iteration, send, throw, close), refuses to be
// entered while running, and releases the body's resources (open files)
// as soon as the stream ends, fails, is closed or is collected.
#pragma once
#include "host/pyref.hpp"

#include <memory>

namespace karvo::host {

class StreamBody {
public:
    virtual ~StreamBody() = default;
    // The next item (a new reference); null with an error set when the
    // request fails, null without one when the stream has ended.
    virtual PyObject* next() = 0;
    // Visits the Python objects that the body holds (for the cycle collector).
    virtual int traverse(visitproc visit, void* arg) = 0;
    // Closes files and drops every reference; called once, when the stream finishes.
    virtual void release() = 0;
};

struct Generator;

// Made with the generator type of the module in scope.
PyObject* make_generator(std::unique_ptr<StreamBody> body, PyObject* name, PyObject* qualname);

// The body of one of our generators, or null (not ours, or finished). It
// stays valid only until Python code runs: code that drives the stream
// itself takes it afresh for each request, and makes the request between
// generator_enter and generator_leave.
StreamBody* generator_body(PyObject* gen);
// A request made from inside another stream, as next() makes one: refused
// (ValueError) while the generator runs, marked running meanwhile, so that
// nothing can finish or re-enter the body under the request.
bool generator_enter(PyObject* gen);
// Ends such a request; without `more` (the request ended the stream or
// failed) the stream finishes, as after next().
void generator_leave(PyObject* gen, bool more);
// Ends a stream at once, releasing what it holds (as close() does).
void generator_finish(PyObject* gen);

// The generator type of `module`, a heap type of its own, registered as a
// collections.abc.Generator (new reference).
PyObject* make_generator_type(PyObject* module);

}  // namespace karvo::host
