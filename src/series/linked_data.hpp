// The linked-data stream of a disk resident array: the header records that
// precede a series' spectra, then one (mini header, values) pair per spectrum,
// read strictly forward from a file of the stream's own.
#pragma once
#include "host/generator.hpp"
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

class LinkedData final : public StreamBody {
public:
    LinkedData(PyObject* record, PyObject* file, PyObject* n_spectra);

    PyObject* next() override;
    int traverse(visitproc visit, void* arg) override;
    void release() override;

    // For the series stream, which walks this stream itself and shows its
    // callers only each spectrum's title and values: no mini header record
    // or item pair is built when the classes involved are the library's own.
    // 1 with a spectrum, 0 at the end, -1 on error.
    int next_spectrum(PyObject** title, PyObject** values);

private:
    PyObject* start();
    bool begin_spectra();
    bool spectrum_due(bool* due);
    PyRef blob_flag(PyObject* name, int* set);
    PyObject* read_values();
    bool point_count(size_t* count);
    bool begin_walk();
    bool read_ahead();
    void drop_ahead();

    // Reading ahead: spectra whose values are 4 KiB to 256 KiB, up to 1 MiB
    // or 512 spectra at a time.
    static constexpr size_t kAheadMinValues = 4 * 1024;
    static constexpr size_t kAheadMaxValues = 256 * 1024;
    static constexpr size_t kAheadBytes = 1024 * 1024;
    static constexpr size_t kAheadMaxSpectra = 512;

    enum class State { Fresh, Headers, Spectra };
    State state_ = State::Fresh;
    PyRef record_, file_, n_spectra_;
    OpenedFile f_;
    PyRef dtype_;            // "f" or "d"
    size_t element_size_ = 0;
    PyRef sh_;               // the main spectral header, when the blob has one
    PyRef spec_header_class_;
    Py_ssize_t count_ = 0;   // spectra to read
    Py_ssize_t i_ = 0;       // spectra read
    ArrayMaker arrays_;
    struct Walk {            // what next_spectrum() took once
        bool ready = false;
        bool mini = false;
        bool ver3 = false;
        bool ahead = false;   // spectra of a size worth reading ahead
        const RecordClass* mini_rc = nullptr;
        size_t points = 0;
    } walk_;
    struct Ahead {            // spectra read ahead, handed out in order
        std::vector<PyRef> arrays;
        std::vector<uint8_t> minis;
        size_t taken = 0;
        size_t mini = 0, each = 0;
        uint64_t start = 0;   // file position of arrays[0]'s record
    } ahead_;
};

// The values of one spectrum: `count` elements read straight into a new array
// made by the class bound as `array` now.
PyObject* read_spectrum_values(Source& src, PyObject* dtype, size_t element_size, size_t count, ArrayMaker& arrays);

}  // namespace karvo::host
