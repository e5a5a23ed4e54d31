// Reading JSON input files: the whole file, and one object's fields with
// the first problem named by its place in the file.
#ifndef TOOLS_BLR_CLIJSON_H
#define TOOLS_BLR_CLIJSON_H

#include <climits>
#include <set>
#include <string>

#include "BLR/BlrUUID.h"
#include "Cli.h"
#include "output/CliRecords.h"

// Parses file `path` ("-": standard input) as JSON.
CZuError readJsonFile(const std::string& path, Json* out);

// Reads the fields of one JSON object, keeping the first problem.
class JsonFields {
 public:
  JsonFields(const Json& object, std::string what) : object_(object), what_(std::move(what)) {
    if (!object_.is_object()) fail(what_ + " is not a JSON object");
  }

  void integer(const char* key, int32_t* out) {
    const Json* v = find(key);
    if (v == nullptr) return;
    if (!v->is_number_integer() || v->get<int64_t>() < INT32_MIN || v->get<int64_t>() > INT32_MAX)
      return fail(where(key) + " must be a 32-bit integer");
    *out = v->get<int32_t>();
  }
  // An integer of at least 1, for values whose 0 stands for "none".
  void positive(const char* key, int32_t* out) {
    const int32_t before = *out;
    integer(key, out);
    if (find(key) != nullptr && *out < 1) {
      *out = before;
      fail(where(key) + " must be at least 1");
    }
  }
  void text(const char* key, std::string* out) {
    const Json* v = find(key);
    if (v == nullptr) return;
    if (!v->is_string()) return fail(where(key) + " must be a text");
    CZuError err = cliTextFromJson(where(key), v->get<std::string>(), out);
    if (err.IsError()) error_ = err;
  }
  void boolean(const char* key, bool* out) {
    const Json* v = find(key);
    if (v == nullptr) return;
    if (!v->is_boolean()) return fail(where(key) + " must be true or false");
    *out = v->get<bool>();
  }
  void uuid(const char* key, BlrUUID* out) {
    std::string t;
    text(key, &t);
    if (t.empty()) return;
    if (!BlrUUID::isValid(t)) return fail(where(key) + " is not an identifier");
    *out = BlrUUID(t);
  }
  // Keys that are shown but never read back.
  void skip(const char* key) { seen_.insert(key); }
  const Json* array(const char* key) {
    const Json* v = find(key);
    if (v != nullptr && !v->is_array()) {
      fail(where(key) + " must be an array");
      return nullptr;
    }
    return v;
  }

  // The first problem, or one naming a key that was not expected.
  CZuError finish() {
    if (!error_.IsError() && object_.is_object())
      for (auto it = object_.begin(); it != object_.end(); ++it)
        if (!seen_.count(it.key())) fail(what_ + ": unknown key \"" + it.key() + "\"");
    return error_;
  }

 private:
  const Json* find(const char* key) {
    seen_.insert(key);
    if (error_.IsError() || !object_.is_object()) return nullptr;
    auto it = object_.find(key);
    return it == object_.end() || it->is_null() ? nullptr : &*it;
  }
  std::string where(const char* key) const { return what_ + ": \"" + key + "\""; }
  void fail(const std::string& message) {
    if (!error_.IsError()) error_ = FXErrorUtil::ErrorInt(FXLOC, 1, "%s", message.c_str());
  }

  const Json& object_;
  std::string what_;
  std::set<std::string> seen_;
  CZuError error_;
};

#endif  // TOOLS_BLR_CLIJSON_H
