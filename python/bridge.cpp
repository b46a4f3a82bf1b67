// The host's dict as our Value, and every change of a run written back into the same objects.
#include <cmath>
#include <cstring>

#include "binding.hpp"

namespace img_util::python {

PythonRaised::PythonRaised(py::error_already_set error)
    : error_(std::move(error)), message_(error_.what()) {}

void PythonRaised::restore() const { const_cast<py::error_already_set&>(error_).restore(); }

std::string python_type_name(py::handle o) {
  return py::str(py::type::handle_of(o).attr("__name__")).cast<std::string>();
}

std::string utf8_of(py::handle str) {
  Py_ssize_t size = 0;
  if (const char* data = PyUnicode_AsUTF8AndSize(str.ptr(), &size)) return std::string(data, size);
  // Lone surrogates: those of surrogateescape stand for raw bytes; any other is kept as its
  // three-byte form rather than refused, so a host's odd text still travels.
  PyErr_Clear();
  PyObject* bytes = PyUnicode_AsEncodedString(str.ptr(), "utf-8", "surrogateescape");
  if (!bytes) {
    PyErr_Clear();
    bytes = PyUnicode_AsEncodedString(str.ptr(), "utf-8", "surrogatepass");
  }
  if (!bytes) throw py::error_already_set();
  auto owned = py::reinterpret_steal<py::bytes>(bytes);
  return std::string(PyBytes_AS_STRING(bytes), PyBytes_GET_SIZE(bytes));
}

py::str str_of(const std::string& text) {
  PyObject* s =
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogateescape");
  if (!s) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(s);
}

PathArg path_arg(py::handle o) {
  PyObject* fs = PyOS_FSPath(o.ptr());
  if (!fs) throw py::error_already_set();
  auto path = py::reinterpret_steal<py::object>(fs);
  PathArg out;
  out.object = py::reinterpret_borrow<py::object>(o);
  if (PyBytes_Check(fs)) {
    out.bytes.assign(PyBytes_AS_STRING(fs), PyBytes_GET_SIZE(fs));
    out.is_bytes = true;
  } else {
    out.bytes = utf8_of(path);
  }
  // The C library would stop at the first NUL and so act on another file than the one named.
  if (out.bytes.find('\0') != std::string::npos) throw py::value_error("embedded null byte");
  return out;
}

py::object path_like(const PathArg& like, const std::string& text) {
  if (like.is_bytes) return py::bytes(text);
  return str_of(text);
}

// ---- host objects we carry ----------------------------------------------------------------

PyHandle::PyHandle(py::handle obj)
    : obj_(py::reinterpret_borrow<py::object>(obj)), type_name_(python_type_name(obj)) {}

PyHandle::~PyHandle() {
  // The last copy of a Value may go away in C++ code that runs without the GIL.
  if (!Py_IsInitialized()) {
    obj_.release();  // the interpreter is gone; nothing left to release into
    return;
  }
  py::gil_scoped_acquire gil;
  obj_ = py::object();
}

void PyHandle::close() {
  with_gil([&] { obj_.attr("close")(); });
}

// ---- Python -> Value ----------------------------------------------------------------------

DictBridge::DictBridge(py::handle root, Purpose purpose, const char* what) : purpose_(purpose) {
  if (!PyDict_Check(root.ptr())) {
    throw py::type_error(std::string(what) + " must be a dict, not " + python_type_name(root));
  }
  root_ = convert(root);
}

Value DictBridge::convert(py::handle o) {
  PyObject* p = o.ptr();
  if (p == Py_None) return Value();
  if (PyBool_Check(p)) return Value(p == Py_True);
  if (PyLong_Check(p)) {
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(p, &overflow);
    if (n == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (overflow == 0) return Value(static_cast<int64_t>(n));
    if (purpose_ == Purpose::Json) {
      PyErr_SetString(PyExc_OverflowError, "int too large for the run log (64 bits)");
      throw py::error_already_set();
    }
    return Value(std::make_shared<PyHandle>(o));  // carried as it is
  }
  if (PyFloat_Check(p)) return Value(PyFloat_AS_DOUBLE(p));
  if (PyUnicode_Check(p)) return Value(utf8_of(o));
  if (PyBytes_Check(p)) {
    return Value(Bytes{std::string(PyBytes_AS_STRING(p), PyBytes_GET_SIZE(p))});
  }
  // Our archive goes back to the operations as the same handle; json.dumps would name its
  // Python class when refusing it, so the run log sees it as a host object.
  if (py::isinstance<HandleBox>(o) && purpose_ == Purpose::Run) {
    return Value(o.cast<HandleBox&>().handle);
  }
  if (PyDict_Check(p)) return convert_dict(o);
  if (PyList_Check(p)) return convert_sequence(o, true);
  if (PyTuple_Check(p)) return convert_sequence(o, false);
  // Sets are collections the operations may look into (`exts`), but json.dumps refuses them.
  if (PyAnySet_Check(p) && purpose_ == Purpose::Run) return convert_sequence(o, false);
  return Value(std::make_shared<PyHandle>(o));
}

std::string DictBridge::json_key(py::handle key) {
  PyObject* k = key.ptr();
  if (PyUnicode_Check(k)) return utf8_of(key);
  if (k == Py_True) return "true";
  if (k == Py_False) return "false";
  if (k == Py_None) return "null";
  if (PyLong_Check(k)) {
    return py::reinterpret_steal<py::str>(PyLong_Type.tp_repr(k)).cast<std::string>();
  }
  if (PyFloat_Check(k)) {
    const double d = PyFloat_AS_DOUBLE(k);
    if (std::isnan(d)) return "NaN";
    if (std::isinf(d)) return d > 0 ? "Infinity" : "-Infinity";
    return py::reinterpret_steal<py::str>(PyFloat_Type.tp_repr(k)).cast<std::string>();
  }
  throw py::type_error("keys must be str, int, float, bool or None, not " + python_type_name(key));
}

Value DictBridge::convert_dict(py::handle o) {
  if (auto it = seen_.find(o.ptr()); it != seen_.end()) return it->second;
  // A dict that holds itself cannot be a Value tree; carry the inner reference as it is.
  if (open_.count(o.ptr())) return Value(std::make_shared<PyHandle>(o));
  open_.insert(o.ptr());

  auto dict = std::make_shared<Dict>();
  auto record = std::make_unique<Container>();
  record->object = py::reinterpret_borrow<py::object>(o);
  record->writable = true;
  // items() keeps the order a dict subclass (OrderedDict) reports.
  auto items = py::reinterpret_steal<py::list>(PyMapping_Items(o.ptr()));
  if (!items) throw py::error_already_set();
  for (py::handle item : items) {
    py::handle key = PyTuple_GET_ITEM(item.ptr(), 0);
    py::handle val = PyTuple_GET_ITEM(item.ptr(), 1);
    if (purpose_ == Purpose::Json) {
      dict->set(json_key(key), convert(val));
      continue;
    }
    // Operations look keys up by text; other keys stay in the host's dict, untouched.
    if (!PyUnicode_Check(key.ptr())) continue;
    std::string k = utf8_of(key);
    Value v = convert(val);
    dict->set(k, v);
    record->keys.push_back(std::move(k));
    record->values.push_back(v);
    record->objects.push_back(py::reinterpret_borrow<py::object>(val));
  }
  Value out(dict);
  open_.erase(o.ptr());
  seen_[o.ptr()] = out;
  if (purpose_ == Purpose::Run) {
    record->value = out;
    by_value_[dict.get()] = record.get();
    containers_.push_back(std::move(record));
  }
  return out;
}

Value DictBridge::convert_sequence(py::handle o, bool writable) {
  if (auto it = seen_.find(o.ptr()); it != seen_.end()) return it->second;
  if (open_.count(o.ptr())) return Value(std::make_shared<PyHandle>(o));
  open_.insert(o.ptr());

  auto list = std::make_shared<List>();
  auto record = std::make_unique<Container>();
  record->object = py::reinterpret_borrow<py::object>(o);
  record->writable = writable;
  for (py::handle item : py::reinterpret_borrow<py::iterable>(o)) {
    Value v = convert(item);
    list->push_back(v);
    record->values.push_back(v);
    record->objects.push_back(py::reinterpret_borrow<py::object>(item));
  }
  Value out(list);
  open_.erase(o.ptr());
  seen_[o.ptr()] = out;
  if (purpose_ == Purpose::Run) {
    record->value = out;
    by_value_[list.get()] = record.get();
    containers_.push_back(std::move(record));
  }
  return out;
}

// ---- Value -> Python ----------------------------------------------------------------------

namespace {

// The same value as before the run: same kind and contents for plain values, the same object
// for containers and handles (whose contents are compared on their own).
bool same(const Value& a, const Value& b) {
  if (a.kind() != b.kind()) return false;
  switch (a.kind()) {
    case Value::Kind::None: return true;
    case Value::Kind::Bool: return a.as_bool() == b.as_bool();
    case Value::Kind::Int: return a.as_int() == b.as_int();
    case Value::Kind::Float: {
      const double x = a.as_number(), y = b.as_number();
      return std::memcmp(&x, &y, sizeof x) == 0;
    }
    case Value::Kind::Text: return a.as_text() == b.as_text();
    case Value::Kind::Bytes: return a.as_bytes() == b.as_bytes();
    case Value::Kind::List: return a.list_ptr() == b.list_ptr();
    case Value::Kind::Dict: return a.dict_ptr() == b.dict_ptr();
    case Value::Kind::Handle: return a.as_handle() == b.as_handle();
  }
  return false;
}

const void* container_address(const Value& v) {
  if (v.is_list()) return v.list_ptr().get();
  if (v.is_dict()) return v.dict_ptr().get();
  return nullptr;
}

}  // namespace

DictBridge::Container* DictBridge::find(const void* container) {
  auto it = by_value_.find(container);
  return it == by_value_.end() ? nullptr : it->second;
}

py::object DictBridge::to_python(const Value& now, const Value* before, py::handle before_object) {
  if (before && same(*before, now)) {
    if (Container* c = find(container_address(now))) sync_container(*c);
    return py::reinterpret_borrow<py::object>(before_object);
  }
  return fresh(now);
}

py::object DictBridge::fresh(const Value& v) {
  switch (v.kind()) {
    case Value::Kind::None: return py::none();
    case Value::Kind::Bool: return py::bool_(v.as_bool());
    case Value::Kind::Int: return py::int_(v.as_int());
    case Value::Kind::Float: return py::float_(v.as_number());
    case Value::Kind::Text: return str_of(v.as_text());
    case Value::Kind::Bytes: return py::bytes(v.as_bytes().data);
    case Value::Kind::List: {
      if (Container* c = find(v.list_ptr().get())) {
        sync_container(*c);
        return c->object;
      }
      py::list out;
      for (const Value& item : v.as_list()) out.append(fresh(item));
      return out;
    }
    case Value::Kind::Dict: {
      if (Container* c = find(v.dict_ptr().get())) {
        sync_container(*c);
        return c->object;
      }
      py::dict out;
      for (const auto& [key, item] : v.as_dict().items()) out[str_of(key)] = fresh(item);
      return out;
    }
    case Value::Kind::Handle: {
      const auto& h = v.as_handle();
      if (auto* mine = dynamic_cast<PyHandle*>(h.get())) return mine->object();
      return py::cast(HandleBox{h});
    }
  }
  return py::none();
}

void DictBridge::sync() {
  synced_.clear();
  for (auto& c : containers_) sync_container(*c);
}

void DictBridge::check_nothing_lost() const {
  if (!lost_change_.empty()) {
    throw py::type_error("'" + lost_change_ + "' object in cfg cannot be changed, but the " +
                         "operation had to change it (a list is needed there)");
  }
}

void DictBridge::sync_container(Container& c) {
  if (!synced_.insert(&c).second) return;
  // Tuples and sets cannot change; what an operation did to their copy has nowhere to go,
  // which the host must hear of rather than lose it silently.
  if (!c.writable) {
    const List* now = c.value.is_list() ? &c.value.as_list() : nullptr;
    bool changed = !now || now->size() != c.values.size();
    for (size_t i = 0; !changed && i < c.values.size(); ++i)
      changed = !same(c.values[i], (*now)[i]);
    if (changed && lost_change_.empty()) lost_change_ = python_type_name(c.object);
    return;
  }
  if (c.value.is_dict()) {
    sync_dict(c);
  } else {
    sync_list(c);
  }
}

namespace {

// Deletes dict[key]; a key already gone is fine.
void delete_if_present(py::handle dict, py::handle key) {
  if (PyObject_DelItem(dict.ptr(), key.ptr()) < 0) {
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw py::error_already_set();
    PyErr_Clear();
  }
}

// The str keys as the host's dict holds them now, with their key objects.
std::vector<std::pair<std::string, py::object>> str_keys_of(py::handle dict) {
  std::vector<std::pair<std::string, py::object>> keys;
  for (py::handle key : py::reinterpret_borrow<py::iterable>(dict))
    if (PyUnicode_Check(key.ptr()))
      keys.emplace_back(utf8_of(key), py::reinterpret_borrow<py::object>(key));
  return keys;
}

// dict[key] = value, unless the dict holds that very object there already.
void set_unless_same(py::handle dict, py::handle key, py::handle value) {
  PyObject* old = PyObject_GetItem(dict.ptr(), key.ptr());
  if (!old) throw py::error_already_set();
  const bool same = old == value.ptr();
  Py_DECREF(old);
  if (!same && PyObject_SetItem(dict.ptr(), key.ptr(), value.ptr()) < 0)
    throw py::error_already_set();
}

}  // namespace

void DictBridge::sync_dict(Container& c) {
  const Dict& now = c.value.as_dict();
  py::handle target = c.object;
  std::unordered_map<std::string, size_t> before;
  for (size_t i = 0; i < c.keys.size(); ++i) before.emplace(c.keys[i], i);

  for (const auto& key : c.keys)
    if (!now.contains(key)) delete_if_present(target, str_of(key));

  const auto keys = str_keys_of(target);
  std::unordered_map<std::string, py::object> key_objects(keys.begin(), keys.end());
  const auto& items = now.items();
  auto value_for = [&](const std::string& key, const Value& v) {
    auto it = before.find(key);
    if (it == before.end()) return fresh(v);
    return to_python(v, &c.values[it->second], c.objects[it->second]);
  };
  auto key_object = [&](const std::string& key) -> py::object {
    auto it = key_objects.find(key);
    return it != key_objects.end() ? it->second : py::object(str_of(key));
  };

  // Keys in the same place keep it; from the first one that moved (removed and added again
  // by the operation), the rest go to the end in the operation's order, as Python would have
  // left them.
  size_t j = 0;
  while (j < keys.size() && j < items.size() && keys[j].first == items[j].first) ++j;
  for (size_t i = 0; i < j; ++i)
    set_unless_same(target, keys[i].second, value_for(items[i].first, items[i].second));
  std::vector<std::pair<py::object, py::object>> tail;
  for (size_t i = j; i < items.size(); ++i)
    tail.emplace_back(key_object(items[i].first), value_for(items[i].first, items[i].second));
  if (j < keys.size())
    for (auto& [key, value] : tail) delete_if_present(target, key);
  for (auto& [key, value] : tail)
    if (PyObject_SetItem(target.ptr(), key.ptr(), value.ptr()) < 0) throw py::error_already_set();
}

void DictBridge::sync_list(Container& c) {
  const List& now = c.value.as_list();
  const size_t before = c.values.size();
  size_t j = 0;
  while (j < before && j < now.size() && same(c.values[j], now[j])) {
    to_python(now[j], &c.values[j], c.objects[j]);  // syncs a container item in place
    ++j;
  }
  if (j == before && j == now.size()) return;
  py::list tail;
  for (size_t i = j; i < now.size(); ++i) {
    tail.append(i < before ? to_python(now[i], &c.values[i], c.objects[i]) : fresh(now[i]));
  }
  if (PySequence_SetSlice(c.object.ptr(), static_cast<Py_ssize_t>(j), PY_SSIZE_T_MAX, tail.ptr()) <
      0) {
    throw py::error_already_set();
  }
}

}  // namespace img_util::python
