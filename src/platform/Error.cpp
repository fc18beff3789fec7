#include "platform/Error.hpp"

#include <new>
#include <system_error>
#include <typeinfo>

namespace qm {

const char* ExceptionClassName(const std::exception& e) noexcept {
  if (auto* q = dynamic_cast<const QmError*>(&e)) return q->ClassName();
  if (dynamic_cast<const std::bad_alloc*>(&e)) return "EOutOfMemory";
  if (dynamic_cast<const std::system_error*>(&e)) return "ESystemError";
  if (dynamic_cast<const std::out_of_range*>(&e)) return "ERangeError";
  if (dynamic_cast<const std::invalid_argument*>(&e)) return "EArgumentError";
  if (dynamic_cast<const std::length_error*>(&e)) return "ELengthError";
  if (dynamic_cast<const std::logic_error*>(&e)) return "ELogicError";
  if (dynamic_cast<const std::runtime_error*>(&e)) return "ERuntimeError";
  return "Exception";
}

std::string DescribeException(const std::exception& e) {
  std::string s = ExceptionClassName(e);
  s += ": ";
  s += e.what();
  return s;
}

namespace {
std::string Line(std::string_view place, std::string_view word, std::string_view described) {
  std::string s = "in: ";
  s += place;
  s += ' ';
  s += word;
  s += ' ';
  s += described;
  return s;
}
}  // namespace

std::string ExceptionLine(std::string_view place, const std::exception& e, std::string_view word) {
  return Line(place, word, DescribeException(e));
}

std::string ExceptionLine(std::string_view place, std::string_view described) {
  return Line(place, "exception", described);
}

}  // namespace qm
