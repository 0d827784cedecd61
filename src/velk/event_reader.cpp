// EventReader: construction, iteration and deallocation.
#include "velk/event_reader.hpp"

#include <cstdint>
#include <new>
#include <string>
#include <string_view>
#include <variant>

#include "binding/arguments.hpp"
#include "binding/borrow.hpp"
#include "binding/errors.hpp"
#include "binding/event_dict.hpp"
#include "binding/heap_type.hpp"
#include "binding/open_reader.hpp"

namespace velk::py {
namespace {

using Reader = AnyReader;

struct EventReaderObject {
  PyObject_HEAD
  BorrowCounter borrow;
  Reader reader;
};

EventReaderObject* as_event_reader(PyObject* self) noexcept {
  return reinterpret_cast<EventReaderObject*>(self);
}

// The type accepts no subclasses, so this names every type its constructor is called with.
constexpr std::string_view kQualifiedName = "builtins.EventReader";

std::string callee_name() {
  const std::string_view full = kQualifiedName;
  const std::size_t dot = full.rfind('.');
  return std::string(dot == std::string_view::npos ? full : full.substr(dot + 1)) + ".__new__()";
}

PyRef create(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static constexpr std::array<const char*, 2> kParameters = {"path", "reader_type"};
  const auto [path, reader_type] = bind_arguments(callee_name(), kParameters, args, kwargs);
  const std::string_view path_text = utf8_argument(path, "path");
  const std::string_view reader_type_text = utf8_argument(reader_type, "reader_type");
  Reader reader = open_reader(path_text, reader_type, reader_type_text);
  PyRef self = allocate_instance(type);
  EventReaderObject* object = as_event_reader(self.get());
  new (&object->borrow) BorrowCounter(0);
  new (&object->reader) Reader(std::move(reader));
  return self;
}

// Until dismissed, puts the reader back at the event's first byte: an event whose conversion fails
// (NumPy cannot be imported, memory runs out) is read again by the next call rather than lost.
template <class R>
class ReturnOnFailure {
 public:
  ReturnOnFailure(R& reader, std::uint64_t start) noexcept : reader_(reader), start_(start) {}
  ~ReturnOnFailure() {
    if (!dismissed_) (void)reader_.return_to(start_);  // a failed return leaves the event consumed
  }
  ReturnOnFailure(const ReturnOnFailure&) = delete;
  ReturnOnFailure& operator=(const ReturnOnFailure&) = delete;
  void dismiss() noexcept { dismissed_ = true; }

 private:
  R& reader_;
  std::uint64_t start_;
  bool dismissed_ = false;
};

// The next event as a new dictionary; an empty PyRef, with no exception set, at end of data, and also
// when the event has been read before the event dictionaries were first prepared: the reader is then
// back at the event's first byte, `unread` is set, and the caller prepares them and calls again.
//
// So the event is decoded before NumPy is first imported (a recording without events never imports it),
// and the import runs outside the reader's borrow with no part of the event in existence: a second thread
// on the same reader waits for the import with the interpreter lock released instead of meeting "Already
// borrowed", and a failed import loses no event. Only an event that cannot be returned to (a pipe's event
// larger than the stream's buffer) is converted after an import under the borrow.
template <class R>
PyRef next_event(R& reader, bool& unread) {
  const std::uint64_t start = reader.position();
  auto outcome = reader.next();
  return std::visit(Overloaded{
                        [](EndOfData) { return PyRef(); },
                        [](IoError& error) -> PyRef { raise_io_error(error); },
                        [](DecodeError& error) -> PyRef { raise_decode_error(error); },
                        [&](auto& event) {
                          ReturnOnFailure<R> keep_event(reader, start);
                          if (!event_dicts_prepared()) {
                            unread = static_cast<bool>(reader.return_to(start));
                            if (unread) {
                              keep_event.dismiss();
                              return PyRef();
                            }
                            prepare_event_dicts();
                          }
                          PyRef dict = checked(PyDict_New());
                          fill_event_dict(dict.get(), std::move(event));
                          keep_event.dismiss();
                          return dict;
                        },
                    },
                    outcome);
}

PyObject* event_reader_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&] { return create(type, args, kwargs).release(); });
}

PyObject* event_reader_iter(PyObject* self) {
  return guarded<PyObject*>(nullptr, [&] {
    SharedBorrow borrow(as_event_reader(self)->borrow);
    return PyRef::borrow(self).release();
  });
}

PyObject* event_reader_next(PyObject* self) {
  return guarded<PyObject*>(nullptr, [&] {
    EventReaderObject* object = as_event_reader(self);
    for (;;) {
      bool unread = false;
      {
        ExclusiveBorrow borrow(object->borrow);
        PyRef event = std::visit([&](auto& reader) { return next_event(reader, unread); }, object->reader);
        if (!unread) return event.release();
      }
      prepare_event_dicts();
    }
  });
}

// Destroying the reader frees the stream's buffer and closes the file.
void event_reader_dealloc(PyObject* self) {
  guarded_unraisable(self, [&] {
    EventReaderObject* object = as_event_reader(self);
    object->reader.~Reader();
    object->borrow.~BorrowCounter();
  });
  free_heap_instance(self);
}

PyType_Slot event_reader_slots[] = {
    {Py_tp_doc, const_cast<char*>("EventReader(path, reader_type)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(event_reader_new)},
    {Py_tp_iter, reinterpret_cast<void*>(event_reader_iter)},
    {Py_tp_iternext, reinterpret_cast<void*>(event_reader_next)},
    {Py_tp_dealloc, reinterpret_cast<void*>(event_reader_dealloc)},
    {0, nullptr},
};

PyType_Spec event_reader_spec = {
    kQualifiedName.data(),
    sizeof(EventReaderObject),
    0,
    Py_TPFLAGS_DEFAULT,
    event_reader_slots,
};

HeapType g_event_reader_type(event_reader_spec, "EventReader");

}  // namespace

PyTypeObject* event_reader_type() { return g_event_reader_type.get(); }

}  // namespace velk::py
