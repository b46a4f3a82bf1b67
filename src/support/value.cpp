// Placeholder until the base work lands: every function here throws.
#include <stdexcept>
#include <string>
#include "img_util/errors.hpp"
#include "img_util/images.hpp"
#include "img_util/module.hpp"
#include "img_util/value.hpp"
#include "imaging/imaging.hpp"
namespace img_util {
[[noreturn]] static void not_built(const char* what) { throw std::logic_error(std::string(what) + " is not built yet"); }
bool Dict::contains(std::string_view) const { not_built("Dict"); }
Value& Dict::at(std::string_view) { not_built("Dict"); }
const Value& Dict::at(std::string_view) const { not_built("Dict"); }
const Value* Dict::find(std::string_view) const { not_built("Dict"); }
Value* Dict::find(std::string_view) { not_built("Dict"); }
void Dict::set(std::string_view, Value) { not_built("Dict"); }
bool Dict::erase(std::string_view) { not_built("Dict"); }
bool Value::truthy() const { not_built("Value"); }
bool Value::as_bool() const { not_built("Value"); }
int64_t Value::as_int() const { not_built("Value"); }
double Value::as_number() const { not_built("Value"); }
const std::string& Value::as_text() const { not_built("Value"); }
const Bytes& Value::as_bytes() const { not_built("Value"); }
List& Value::as_list() const { not_built("Value"); }
Dict& Value::as_dict() const { not_built("Value"); }
const std::shared_ptr<Handle>& Value::as_handle() const { not_built("Value"); }
std::shared_ptr<List> Value::list_ptr() const { not_built("Value"); }
std::shared_ptr<Dict> Value::dict_ptr() const { not_built("Value"); }
Value& Value::at(std::string_view) const { not_built("Value"); }
Value Value::get(std::string_view, Value) const { not_built("Value"); }
bool Value::contains(std::string_view) const { not_built("Value"); }
void Value::set(std::string_view, Value) const { not_built("Value"); }
bool Value::erase(std::string_view) const { not_built("Value"); }
std::string Value::type_name() const { not_built("Value"); }
bool Value::operator==(const Value&) const { not_built("Value"); }
bool num_eq(const Value&, int64_t) { not_built("num_eq"); }
}
