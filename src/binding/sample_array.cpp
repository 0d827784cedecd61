// PySliceContainer and the creation of sample arrays.
#include "binding/sample_array.hpp"

#include <cstddef>
#include <cstdint>
#include <utility>

#include "binding/errors.hpp"
#include "binding/heap_type.hpp"
#include "binding/numpy_api.hpp"
#include "binding/numpy_headers.hpp"

namespace velk::py {
namespace {

struct SliceContainerObject {
  PyObject_HEAD
  void* data;
  std::size_t length;    // elements
  std::size_t capacity;  // elements
  void (*release)(void* data, std::size_t capacity) noexcept;
};

void slice_container_dealloc(PyObject* self) noexcept {
  auto* container = reinterpret_cast<SliceContainerObject*>(self);
  if (container->release != nullptr) container->release(container->data, container->capacity);
  free_heap_instance(self);
}

PyType_Slot slice_container_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(slice_container_dealloc)},
    {Py_tp_doc, const_cast<char*>("Owner of the samples behind an event's data array.")},
    {0, nullptr},
};

PyType_Spec slice_container_spec = {
    "builtins.PySliceContainer",
    sizeof(SliceContainerObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    slice_container_slots,
};

HeapType g_slice_container_type(slice_container_spec, "PySliceContainer");

// Frees storage of T elements when dropped, unless it has been handed on.
template <class T>
struct StorageOwner {
  SampleStorage storage;
  ~StorageOwner() {
    if (storage.data != nullptr) free_samples<T>(storage.data, storage.capacity);
  }
  SampleStorage release() noexcept { return std::exchange(storage, SampleStorage{nullptr, 0, 0}); }
};

// A new container that owns the storage; on failure the storage stays with `owner`.
template <class T>
PyRef new_container(StorageOwner<T>& owner) {
  PyTypeObject* type = g_slice_container_type.get_from_slot();
  // The type has no GC, __dict__ or weak references, so an initialised header is all its instances
  // need before the fields are set; its free slot is PyObject_Free, the pair of this allocation.
  void* memory = PyObject_Malloc(sizeof(SliceContainerObject));
  if (memory == nullptr) {
    PyErr_NoMemory();
    throw PythonError{};
  }
  PyRef object = PyRef::steal(PyObject_Init(static_cast<PyObject*>(memory), type));
  const SampleStorage storage = owner.release();
  auto* container = reinterpret_cast<SliceContainerObject*>(object.get());
  container->data = storage.data;
  container->length = storage.length;
  container->capacity = storage.capacity;
  container->release = free_samples<T>;
  return object;
}

// Data address for arrays of length 0, whose storage is never allocated; no element is ever written.
alignas(std::max_align_t) unsigned char g_empty_samples[sizeof(double)];

template <class T> constexpr int kTypeNumber = -1;
template <> constexpr int kTypeNumber<std::uint16_t> = NPY_UINT16;
template <> constexpr int kTypeNumber<float> = NPY_FLOAT32;
template <> constexpr int kTypeNumber<std::int32_t> = NPY_INT32;
template <> constexpr int kTypeNumber<std::uint32_t> = NPY_UINT32;
template <> constexpr int kTypeNumber<std::int64_t> = NPY_INT64;
template <> constexpr int kTypeNumber<std::uint64_t> = NPY_UINT64;

template <class T>
PyRef make_array(StorageOwner<T>& owner) {
  require_numpy_api();
  const std::size_t length = owner.storage.length;
  void* const storage_data = owner.storage.data;
  PyRef container = new_container(owner);
  PyArray_Descr* descr = PyArray_DescrFromType(kTypeNumber<T>);
  if (descr == nullptr) throw PythonError{};
  npy_intp dims[1] = {static_cast<npy_intp>(length)};
  void* data = storage_data != nullptr ? storage_data : g_empty_samples;
  // Steals descr, also on failure. Given no strides, NumPy fills in the element size itself and
  // works out the array's flags once instead of twice.
  PyRef array = checked(PyArray_NewFromDescr(&PyArray_Type, descr, 1, dims, nullptr, data,
                                             NPY_ARRAY_WRITEABLE, nullptr));
  // Steals the container reference, also on failure.
  check(PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), container.release()));
  return array;
}

// NumPy is imported before the vector gives up its storage, so a failed import leaves the samples
// to the vector, which frees them.
template <class T>
PyRef make_sample_array(SampleVector<T>&& samples) {
  require_numpy_api();
  StorageOwner<T> owner{std::move(samples).release()};
  return make_array(owner);
}

}  // namespace

void prepare_sample_arrays() {
  require_numpy_api();
  g_slice_container_type.get_from_slot();
}

PyRef sample_array(SampleVector<std::uint16_t>&& samples) { return make_sample_array(std::move(samples)); }

PyRef sample_array(SampleVector<float>&& samples) { return make_sample_array(std::move(samples)); }

template <class T>
PyRef storage_array(SampleStorage storage) {
  StorageOwner<T> owner{storage};
  return make_array(owner);
}

template PyRef storage_array<std::uint16_t>(SampleStorage);
template PyRef storage_array<float>(SampleStorage);
template PyRef storage_array<std::int32_t>(SampleStorage);
template PyRef storage_array<std::uint32_t>(SampleStorage);
template PyRef storage_array<std::int64_t>(SampleStorage);
template PyRef storage_array<std::uint64_t>(SampleStorage);

}  // namespace velk::py
