// The linked-data stream of a disk resident array: the header records that
// precede a series' spectra, then one (mini header, values) pair per spectrum,
// read strictly forward from a file of the stream's own.
#pragma once
#include "host/generator.hpp"
#include "host/namespace.hpp"
#include "records/sources.hpp"

#include <vector>

namespace karvo::host {

struct RecordClass;

// Makes the host's arrays for a stream's spectra.
class ArrayMaker {
public:
    ArrayMaker() = default;
    ArrayMaker(const ArrayMaker&) = delete;
    ArrayMaker& operator=(const ArrayMaker&) = delete;
    ~ArrayMaker() { reset(); }
    void reset();

    // A new array of `count` zeros.
    PyObject* make(PyObject* dtype, size_t element_size, size_t count);
    // A new array of `count` values read from the file: small spectra are read
    // into a template of their length, which the new array copies.
    PyObject* read(PyObject* dtype, size_t element_size, size_t count, io::NativeFile& nf);

    static constexpr size_t kSmall = 4096;  // bytes of values handled through a template

private:
    PyObject* one_element(PyObject* dtype, size_t element_size);
    PyRef one_;         // one zero element
    PyRef small_;       // the template of the last small length
    Py_buffer view_{};  // small_'s memory, held while small_ lives
    bool has_view_ = false;
};

// DiskResidentArray.read_linked_data(self, file, n_spectra)
PyObject* make_read_linked_data();

// The stream's one state machine. Its generator object owns it; the series
// stream, which walks its own linked-data stream, makes its requests through
// that generator (generator_enter/leave) and never holds on to this body.
//
// A request asks for the next spectrum in one of two forms:
// - an item, (mini header record, values), for a caller of next(): the
//   blob's flags and the point count are read from the records at each
//   spectrum, as they are then;
// - a title and the values, for the series stream, which shows nothing else:
//   the flags and the point count are taken once, no record is built while
//   the classes involved are the library's own, and spectra of moderate size
//   are read ahead in batches.
// Both forms share the position, the count and the batch read ahead: an item
// asked for in the middle of a walk is the next spectrum, read afresh.
class LinkedData final : public StreamBody {
public:
    LinkedData(PyObject* record, PyObject* file, PyObject* n_spectra);

    PyObject* next() override;
    int traverse(visitproc visit, void* arg) override;
    void release() override;

    // The body of `gen` when it is a linked-data stream that has handed out
    // its headers item, else null (see generator_body for how long it lives).
    static LinkedData* walking(PyObject* gen);
    // The next spectrum's title (its mini header's spec_title, or None
    // without mini headers) and values: 1, or 0 at the end, -1 on error.
    int next_titled(PyRef* title, PyRef* values);

private:
    enum class State { Fresh, Headers, Spectra };
    enum class Form { Item, Title };

    PyObject* start();
    bool begin_spectra();
    int spectrum(Form form, PyRef* head, PyRef* values);
    bool read_mini_plan();
    bool read_point_count();
    PyRef read_title(bool native_text);
    bool titles_native();
    NamespaceMark texts_mark_;   // the namespace when titles_native_ was settled
    bool titles_native_ = false;
    PyRef blob_flag(PyObject* name, int* set);
    bool read_ahead();
    bool take_ahead(PyRef* title, PyRef* values, bool* taken);
    void drop_ahead();

    // Reading ahead: spectra whose values are 4 KiB to 256 KiB, up to 1 MiB
    // or 512 spectra at a time.
    static constexpr size_t kAheadMinValues = 4 * 1024;
    static constexpr size_t kAheadMaxValues = 256 * 1024;
    static constexpr size_t kAheadBytes = 1024 * 1024;
    static constexpr size_t kAheadMaxSpectra = 512;

    State state_ = State::Fresh;
    PyRef record_, file_, n_spectra_;
    OpenedFile f_;
    PyRef dtype_;            // "f" or "d"
    size_t element_size_ = 0;
    PyRef sh_;               // the main spectral header, when the blob has one
    PyRef spec_header_class_;
    Py_ssize_t count_ = 0;   // spectra to read
    Py_ssize_t i_ = 0;       // spectra handed out
    ArrayMaker arrays_;
    struct Plan {            // what the records say about each spectrum
        bool taken = false;  // for the title form: taken once
        bool mini = false;
        bool ver3 = false;
        const RecordClass* mini_rc = nullptr;  // the mini header class, when our own
        size_t points = 0;
        bool ahead = false;  // spectra worth reading ahead
    } plan_;
    struct Ahead {           // spectra read ahead, handed out in order
        std::vector<PyRef> arrays;   // their values, each in its own new array
        std::vector<uint8_t> minis;  // their mini headers, back to back
        size_t taken = 0;
        size_t mini = 0, each = 0;   // bytes per spectrum: mini header, in all
        uint64_t start = 0;          // file position of arrays[0]'s record
        // The values handed out last, held (as the stream's current values)
        // until the next batch's arrays exist. The arrays of a batch lie one
        // after the other at the end of the allocator's heap, and a caller
        // typically drops them in order: were the last one dropped too, the
        // whole batch would become one free block at the end of the heap,
        // which the allocator may give back to the system, and the next
        // batch would fault every page in again. Held, the freed block lies
        // below it, and the next batch is made in that same memory.
        PyRef last;
    } ahead_;
};

// The values of one spectrum: `count` elements read straight into a new array
// made by the class bound as `array` now.
PyObject* read_spectrum_values(Source& src, PyObject* dtype, size_t element_size, size_t count, ArrayMaker& arrays);

}  // namespace karvo::host
