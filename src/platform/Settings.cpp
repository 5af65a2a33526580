// The settings store and its JSON file.
#include "platform/Settings.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "platform/Base64.h"
#include "platform/Format.h"
#include "platform/Log.h"
#include "platform/Paths.h"
#include "platform/SafeFile.h"

namespace qv {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

// Binary values are kept as {"$data": "<base64>"}, the one JSON object form that is not a dictionary.
constexpr const char* kDataMarker = "$data";

std::optional<json> toJSONValue(const Value& value) {
  if (value.isNull()) return json(nullptr);
  if (value.isBool()) return json(value.toBool());
  if (value.isInteger()) return json(value.toInt64());
  if (value.isDouble()) {
    const double d = value.toDouble();
    if (!std::isfinite(d)) return json(nullptr);  // JSON holds no infinities or NaN
    return json(d);
  }
  if (const auto* s = value.string()) return json(*s);
  if (const auto* d = value.data()) return json{{kDataMarker, base64Encode(*d)}};
  if (const auto* a = value.array()) {
    json out = json::array();
    for (const auto& element : *a) {
      auto j = toJSONValue(element);
      if (!j) return std::nullopt;
      out.push_back(std::move(*j));
    }
    return out;
  }
  if (const auto* dict = value.dictionary()) {
    json out = json::object();
    for (const auto& [k, v] : *dict) {
      auto j = toJSONValue(v);
      if (!j) return std::nullopt;
      out[k] = std::move(*j);
    }
    return out;
  }
  return std::nullopt;  // arbitrary objects have no file form
}

Value fromJSONValue(const json& j) {
  switch (j.type()) {
    case json::value_t::null: return Value();
    case json::value_t::boolean: return Value(j.get<bool>());
    case json::value_t::number_integer: return Value(j.get<std::int64_t>());
    case json::value_t::number_unsigned: return Value(static_cast<std::int64_t>(j.get<std::uint64_t>()));
    case json::value_t::number_float: return Value(j.get<double>());
    case json::value_t::string: return Value(j.get<std::string>());
    case json::value_t::array: {
      Array a;
      for (const auto& e : j) a.push_back(fromJSONValue(e));
      return Value(std::move(a));
    }
    case json::value_t::object: {
      if (j.size() == 1 && j.contains(kDataMarker) && j[kDataMarker].is_string()) {
        if (auto d = base64Decode(j[kDataMarker].get<std::string>())) return Value(std::move(*d));
      }
      Dictionary d;
      for (auto it = j.begin(); it != j.end(); ++it) d.emplace(it.key(), fromJSONValue(it.value()));
      return Value(std::move(d));
    }
    default: return Value();
  }
}

// Deeper than any value we write (the calibration record nests three levels). The readers below
// recurse once per level, so a file nested tens of thousands of levels deep would exhaust the
// stack at every start; such a file is taken as damaged instead.
constexpr std::size_t kMaximumNesting = 256;

// Whether the JSON text's arrays and objects nest at most `limit` deep (brackets inside strings
// do not count). Malformed text passes here and fails in the parser.
bool nestsAtMost(const std::string& text, std::size_t limit) {
  std::size_t depth = 0;
  bool inString = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (inString) {
      if (c == '\\') ++i;
      else if (c == '"') inString = false;
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > limit) return false;
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return true;
}

}  // namespace

std::string Settings::toJSON(const Dictionary& values) {
  json out = json::object();
  for (const auto& [k, v] : values) {
    if (auto j = toJSONValue(v)) out[k] = std::move(*j);
  }
  return out.dump(2);
}

std::optional<Dictionary> Settings::fromJSON(const std::string& text) {
  if (!nestsAtMost(text, kMaximumNesting)) return std::nullopt;
  json j = json::parse(text, nullptr, false);
  if (j.is_discarded() || !j.is_object()) return std::nullopt;
  Value v = fromJSONValue(j);
  if (const auto* d = v.dictionary()) return *d;
  return std::nullopt;
}

fs::path Settings::standardFilePath() {
  return paths::xdgFolder("XDG_CONFIG_HOME", ".config") / "Quorvel" / "Settings.json";
}

Settings& Settings::standard() {
  static auto* settings = new Settings(standardFilePath());
  return *settings;
}

Settings::Settings(fs::path file) : file_(std::move(file)) { load(); }

void Settings::load() {
  std::lock_guard lock(mutex_);
  user_.clear();
  std::error_code ec;
  if (!fs::exists(file_, ec)) return;
  std::ifstream in(file_, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  if (in.bad()) {
    QVLogWarn("Could not read the settings file %s; the defaults apply", file_.c_str());
    return;
  }
  if (auto values = fromJSON(text.str())) {
    user_ = std::move(*values);
    return;
  }
  // A damaged file is kept for inspection, never silently overwritten.
  const auto aside = keepDamagedFileAside(file_);
  QVLogWarn("The settings file %s is damaged; it %s, and the defaults apply", file_.c_str(), aside.outcome().c_str());
}

void Settings::reload() { load(); }

void Settings::registerDefaults(const Dictionary& defaults) {
  std::lock_guard lock(mutex_);
  for (const auto& [k, v] : defaults) registered_[k] = v;
}

std::optional<Value> Settings::objectForKey(const std::string& key) const {
  std::lock_guard lock(mutex_);
  if (const Value* v = find(user_, key)) return *v;
  if (const Value* v = find(registered_, key)) return *v;
  return std::nullopt;
}

bool Settings::hasUserValue(const std::string& key) const {
  std::lock_guard lock(mutex_);
  return user_.count(key) != 0;
}

std::int64_t Settings::integerForKey(const std::string& key) const {
  auto v = objectForKey(key);
  return v ? v->toInt64() : 0;
}

bool Settings::boolForKey(const std::string& key) const {
  auto v = objectForKey(key);
  return v ? v->toBool() : false;
}

double Settings::doubleForKey(const std::string& key) const {
  auto v = objectForKey(key);
  return v ? v->toDouble() : 0.0;
}

std::optional<std::string> Settings::stringForKey(const std::string& key) const {
  auto v = objectForKey(key);
  return v ? v->toString() : std::nullopt;
}

std::optional<Data> Settings::dataForKey(const std::string& key) const {
  auto v = objectForKey(key);
  if (v && v->data()) return *v->data();
  return std::nullopt;
}

std::optional<Array> Settings::arrayForKey(const std::string& key) const {
  auto v = objectForKey(key);
  if (v && v->array()) return *v->array();
  return std::nullopt;
}

std::optional<Dictionary> Settings::dictionaryForKey(const std::string& key) const {
  auto v = objectForKey(key);
  if (v && v->dictionary()) return *v->dictionary();
  return std::nullopt;
}

std::optional<Error> Settings::setValue(const std::string& key, Value value) {
  auto j = toJSONValue(value);
  // JSON text is UTF-8: a key or a text that is not would make every later write of the file
  // fail, so it is refused before it joins the settings.
  bool writable = j.has_value();
  if (writable) {
    try {
      (void)json{{key, std::move(*j)}}.dump();
    } catch (const json::exception&) {
      writable = false;
    }
  }
  if (!writable) {
    return Error(kPosixErrorDomain, EINVAL, format("The value for \"%s\" cannot be stored", key.c_str()));
  }
  std::optional<Error> error;
  {
    std::lock_guard lock(mutex_);
    user_[key] = std::move(value);
    error = writeLocked();
  }
  notify(key);
  return error;
}

std::optional<Error> Settings::removeObjectForKey(const std::string& key) {
  std::optional<Error> error;
  {
    std::lock_guard lock(mutex_);
    if (user_.erase(key) == 0) return std::nullopt;
    error = writeLocked();
  }
  notify(key);
  return error;
}

std::optional<Error> Settings::writeLocked() const {
  // Written to a temporary file, flushed to disk and renamed over the old one, so that a crash
  // leaves either the old settings or the new ones, never half of a file.
  std::error_code ec;
  fs::create_directories(file_.parent_path(), ec);
  if (ec) {
    QVLogError("Could not create the settings folder %s: %s", file_.parent_path().c_str(), ec.message().c_str());
    return posixError(ec.value(), "Creating the settings folder");
  }
  std::string text;
  try {
    text = toJSON(user_) + "\n";
  } catch (const json::exception& e) {  // setValue lets no such value in; never throw out of a write
    QVLogError("Could not write the settings file %s: %s", file_.c_str(), e.what());
    return Error(kPosixErrorDomain, EILSEQ, "The settings cannot be written as JSON");
  }
  if (const int err = replaceTextFile(file_, text)) {
    QVLogError("Could not write the settings file %s: %s", file_.c_str(), std::strerror(err));
    return posixError(err, "Writing the settings file");
  }
  return std::nullopt;
}

Settings::Token Settings::addChangeListener(ChangeListener listener) {
  std::lock_guard lock(mutex_);
  Token token = nextToken_++;
  listeners_.emplace(token, std::make_shared<ChangeListener>(std::move(listener)));
  return token;
}

void Settings::removeChangeListener(Token token) {
  std::lock_guard lock(mutex_);
  listeners_.erase(token);
}

void Settings::notify(const std::string& key) {
  std::map<Token, std::shared_ptr<ChangeListener>> listeners;
  {
    std::lock_guard lock(mutex_);
    listeners = listeners_;
  }
  for (const auto& [token, listener] : listeners) (*listener)(key);
}

}  // namespace qv
