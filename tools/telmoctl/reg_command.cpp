// telmoctl reg: the node's registry store, in the syntax and output of the
// Windows reg.exe.
//
//   reg query  KEY [/v NAME | /ve] [/s]
//   reg add    KEY [/v NAME | /ve] [/t TYPE] [/d DATA] [/f]
//   reg delete KEY [/v NAME | /ve | /va] [/f]
//
// KEY starts with a root: HKLM, HKCU, HKCR, HKU or the long names. Switches
// may start with "/" or "-" and ignore letter case. Without /f, overwriting
// or deleting asks on the terminal; when standard input is no terminal the
// command refuses instead (exit 1), so that no script is changed by accident;
// so does it with --json (the question would spoil the document).
// With --json (before or after "reg") the result is one JSON document.
// Exit codes: 0 success, 1 failure, 2 usage error.

#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <iostream>
#include <optional>
#include <sstream>
#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "console.h"
#include "platform/registry.h"
#include "platform/win_error.h"
#include "util/text.h"

namespace telmoctl {
namespace {

using telmo::platform::RegValue;

constexpr const char* kNotFound = "ERROR: The system was unable to find the specified registry key or value.";
constexpr const char* kDone = "The operation completed successfully.";

enum class Verb { kQuery, kAdd, kDelete };

struct RegArgs {
  Verb verb = Verb::kQuery;
  std::string key;                  ///< as typed (root included)
  std::optional<std::string> value; ///< /v NAME; "" for /ve
  bool all_values = false;          ///< /va
  bool recurse = false;             ///< /s
  bool force = false;               ///< /f
  std::optional<std::string> type;  ///< /t
  std::optional<std::string> data;  ///< /d
};

const char* VerbName(Verb v) {
  switch (v) {
    case Verb::kQuery: return "QUERY";
    case Verb::kAdd: return "ADD";
    case Verb::kDelete: return "DELETE";
  }
  return "";
}

const char* UsageLine(Verb v) {
  switch (v) {
    case Verb::kQuery: return "Usage: telmoctl reg query KEY [/v NAME | /ve] [/s]";
    case Verb::kAdd:
      return "Usage: telmoctl reg add KEY [/v NAME | /ve] [/t REG_SZ|REG_EXPAND_SZ|REG_DWORD|REG_BINARY|REG_MULTI_SZ]"
             " [/d DATA] [/f]";
    case Verb::kDelete: return "Usage: telmoctl reg delete KEY [/v NAME | /ve | /va] [/f]";
  }
  return "";
}

/// Prints reg.exe's error lines on standard error and, with --json, the
/// failure document on standard output (the message is the first line
/// without "ERROR: ").
int RegFail(const Console& console, int exit_code, const std::string& lines) {
  std::cerr << lines;
  if (console.json) {
    std::string message = lines.substr(0, lines.find('\n'));
    if (message.rfind("ERROR: ", 0) == 0) message.erase(0, 7);
    PrintJson({{"ok", false}, {"exit_code", exit_code}, {"message", message}});
  }
  return exit_code;
}

int InvalidSyntax(const Console& console, Verb v) {
  return RegFail(console, kUsage,
                 std::string("ERROR: Invalid syntax.\nType \"REG ") + VerbName(v) + " /?\" for usage.\n" +
                     UsageLine(v) + "\n");
}

int Help(std::ostream& out = std::cout) {
  out << UsageLine(Verb::kQuery) << "\n"
            << UsageLine(Verb::kAdd) << "\n"
            << UsageLine(Verb::kDelete) << "\n\n"
            << "  KEY   ROOT\\SubKey, ROOT one of HKLM, HKCU, HKCR, HKU (or their long names)\n"
            << "  /v    the value NAME          /ve  the default value (no name)\n"
            << "  /va   every value of the key  /s   every subkey, recursively\n"
            << "  /t    REG_SZ, REG_EXPAND_SZ, REG_DWORD, REG_BINARY or REG_MULTI_SZ (default REG_SZ)\n"
            << "  /d    the data: REG_DWORD decimal or 0x hex, REG_BINARY hex digits,\n"
            << "        REG_MULTI_SZ texts separated by \\0\n"
            << "  /f    no question before overwriting or deleting\n\n"
            << "Exit codes: 0 success, 1 failure, 2 usage error.\n";
  return kSuccess;
}

/// Parses the raw arguments after "reg"; nullopt on bad syntax (*help set for /?).
std::optional<RegArgs> Parse(const std::vector<std::string>& args, Verb* verb_seen, bool* help) {
  *help = false;
  if (args.empty()) return std::nullopt;
  RegArgs r;
  const std::string verb = telmo::ToLower(args[0]);
  if (verb == "query") {
    r.verb = Verb::kQuery;
  } else if (verb == "add") {
    r.verb = Verb::kAdd;
  } else if (verb == "delete") {
    r.verb = Verb::kDelete;
  } else {
    *help = verb == "/?" || verb == "-?" || verb == "-h" || verb == "--help";
    return std::nullopt;
  }
  *verb_seen = r.verb;
  bool have_key = false;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    const bool is_switch = a.size() >= 2 && (a[0] == '/' || a[0] == '-');
    if (!is_switch) {
      if (have_key) return std::nullopt;
      r.key = a;
      have_key = true;
      continue;
    }
    const std::string sw = telmo::ToLower(std::string_view(a).substr(1));
    auto next = [&]() -> std::optional<std::string> {
      if (i + 1 >= args.size()) return std::nullopt;
      return args[++i];
    };
    if (sw == "?") {
      *help = true;
      return std::nullopt;
    }
    if (sw == "v") {
      if (r.value || r.all_values) return std::nullopt;
      r.value = next();
      if (!r.value) return std::nullopt;
    } else if (sw == "ve") {
      if (r.value || r.all_values) return std::nullopt;
      r.value = std::string();
    } else if (sw == "va" && r.verb == Verb::kDelete) {
      if (r.value || r.all_values) return std::nullopt;
      r.all_values = true;
    } else if (sw == "s" && r.verb == Verb::kQuery) {
      if (r.recurse) return std::nullopt;
      r.recurse = true;
    } else if (sw == "f" && r.verb != Verb::kQuery) {
      if (r.force) return std::nullopt;
      r.force = true;
    } else if (sw == "t" && r.verb == Verb::kAdd) {
      if (r.type) return std::nullopt;
      r.type = next();
      if (!r.type) return std::nullopt;
    } else if (sw == "d" && r.verb == Verb::kAdd) {
      if (r.data) return std::nullopt;
      r.data = next();
      if (!r.data) return std::nullopt;
    } else {
      return std::nullopt;
    }
  }
  if (!have_key) return std::nullopt;
  return r;
}

/// The root and the path below it ("\" at either end dropped).
struct KeyPath {
  HKEY::Root root = HKEY::Root::kNone;
  std::string sub;
  [[nodiscard]] std::string Display() const {
    std::string out(telmo::platform::RootLongName(root));
    if (!sub.empty()) out += "\\" + sub;
    return out;
  }
};

std::optional<KeyPath> SplitKey(std::string_view text) {
  std::string_view rest;
  KeyPath k;
  k.root = telmo::platform::ParseRootName(text, &rest);
  if (k.root == HKEY::Root::kNone) return std::nullopt;
  while (!rest.empty() && rest.front() == '\\') rest.remove_prefix(1);
  while (!rest.empty() && rest.back() == '\\') rest.remove_suffix(1);
  k.sub = std::string(rest);
  return k;
}

const HKEY& RootKey(HKEY::Root root) {
  switch (root) {
    case HKEY::Root::kClassesRoot: return HKEY_CLASSES_ROOT;
    case HKEY::Root::kCurrentUser: return HKEY_CURRENT_USER;
    case HKEY::Root::kUsers: return HKEY_USERS;
    default: return HKEY_LOCAL_MACHINE;
  }
}

int Failure(const Console& console, DWORD error) {
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_KEY_DELETED) {
    return RegFail(console, kFailed, std::string(kNotFound) + "\n");
  }
  std::string text = telmo::platform::SystemMessage(error).value_or("");
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  if (text.empty()) text = telmo::Format("Unknown error %u.", static_cast<unsigned>(error));
  return RegFail(console, kFailed, "ERROR: " + text + "\n");
}

/// The end of a successful add or delete.
int Done(const Console& console) {
  if (console.json) {
    PrintJson({{"ok", true}, {"message", kDone}});
  } else {
    std::cout << kDone << "\n";
  }
  return kSuccess;
}

// ---------------------------------------------------------------- output

std::string_view TypeName(DWORD type) {
  switch (type) {
    case REG_NONE: return "REG_NONE";
    case REG_SZ: return "REG_SZ";
    case REG_EXPAND_SZ: return "REG_EXPAND_SZ";
    case REG_BINARY: return "REG_BINARY";
    case REG_DWORD: return "REG_DWORD";
    case REG_MULTI_SZ: return "REG_MULTI_SZ";
    default: return "REG_UNKNOWN";
  }
}

std::string Hex(const std::vector<BYTE>& data) {
  std::string out;
  for (const BYTE b : data) out += telmo::Format("%02X", static_cast<unsigned>(b));
  return out;
}

std::string DataText(const RegValue& v) {
  switch (v.type) {
    case REG_SZ:
    case REG_EXPAND_SZ: {
      std::string s(v.data.begin(), v.data.end());
      return s.substr(0, s.find('\0'));
    }
    case REG_DWORD:
      if (v.data.size() == 4) {
        const DWORD d = static_cast<DWORD>(v.data[0]) | static_cast<DWORD>(v.data[1]) << 8 |
                        static_cast<DWORD>(v.data[2]) << 16 | static_cast<DWORD>(v.data[3]) << 24;
        return telmo::Format("0x%x", static_cast<unsigned>(d));
      }
      return Hex(v.data);
    case REG_MULTI_SZ: {
      // The texts with "\0" between them, as reg.exe shows them.
      std::string s(v.data.begin(), v.data.end());
      while (!s.empty() && s.back() == '\0') s.pop_back();
      std::string out;
      for (const char c : s) {
        if (c == '\0') {
          out += "\\0";
        } else {
          out += c;
        }
      }
      return out;
    }
    default: return Hex(v.data);
  }
}

void PrintValue(const RegValue& v) {
  const std::string name = v.name.empty() ? "(Default)" : v.name;
  std::cout << "    " << Printable(name) << "    " << TypeName(v.type) << "    " << Printable(DataText(v)) << "\n";
}

/// {"name", "type", "data"}: REG_DWORD data is a number, REG_MULTI_SZ a list
/// of texts, texts are texts, anything else hex digits.
nlohmann::json ValueJson(const RegValue& v) {
  nlohmann::json data;
  if (v.type == REG_DWORD && v.data.size() == 4) {
    data = static_cast<DWORD>(v.data[0]) | static_cast<DWORD>(v.data[1]) << 8 | static_cast<DWORD>(v.data[2]) << 16 |
           static_cast<DWORD>(v.data[3]) << 24;
  } else if (v.type == REG_MULTI_SZ) {
    data = nlohmann::json::array();
    std::string s(v.data.begin(), v.data.end());
    while (!s.empty() && s.back() == '\0') s.pop_back();
    for (std::size_t at = 0; !s.empty() && at <= s.size();) {
      const std::size_t end = std::min(s.find('\0', at), s.size());
      data.push_back(s.substr(at, end - at));
      at = end + 1;
    }
  } else {
    data = DataText(v);
  }
  return {{"name", v.name}, {"type", TypeName(v.type)}, {"data", data}};
}

/// One key of a query: its full path and the values shown.
struct KeyBlock {
  std::string key;
  std::vector<RegValue> values;
};

nlohmann::json KeyJson(const KeyBlock& block) {
  nlohmann::json values = nlohmann::json::array();
  for (const auto& v : block.values) values.push_back(ValueJson(v));
  return {{"key", block.key}, {"values", values}};
}

// ---------------------------------------------------------------- query

/// Prints a key and its values.
void PrintKey(const KeyBlock& block) {
  std::cout << Printable(block.key) << "\n";
  for (const auto& v : block.values) PrintValue(v);
  std::cout << "\n";
}

/// Collects the key and every key below it into `out`, in reg.exe's order.
DWORD QueryTree(const HKEY& key, const std::string& display, const std::optional<std::string>& only, int* matches,
                std::vector<KeyBlock>* out) {
  auto values = telmo::platform::RegListValues(key);
  if (!values) return values.error();
  if (only) {
    std::vector<RegValue> chosen;
    for (auto& v : *values) {
      if (telmo::EqualsIgnoreCase(v.name, *only)) chosen.push_back(std::move(v));
    }
    if (!chosen.empty()) {
      *matches += static_cast<int>(chosen.size());
      out->push_back({display, std::move(chosen)});
    }
  } else {
    out->push_back({display, std::move(*values)});
  }
  auto subkeys = telmo::platform::RegListSubkeys(key);
  if (!subkeys) return subkeys.error();
  for (const auto& name : *subkeys) {
    HKEY child;
    const LSTATUS rc = RegOpenKeyExA(key, name.c_str(), 0, KEY_READ, &child);
    if (rc == ERROR_FILE_NOT_FOUND) continue;  // deleted meanwhile
    if (rc != ERROR_SUCCESS) return rc;
    if (const DWORD e = QueryTree(child, display + "\\" + name, only, matches, out); e != ERROR_SUCCESS) return e;
  }
  return ERROR_SUCCESS;
}

int Query(const Console& console, const RegArgs& a, const KeyPath& path) {
  HKEY key;
  if (const LSTATUS rc = RegOpenKeyExA(RootKey(path.root), path.sub.c_str(), 0, KEY_READ, &key);
      rc != ERROR_SUCCESS) {
    return Failure(console, rc);
  }
  const std::string display = path.Display();
  if (a.recurse) {
    std::vector<KeyBlock> blocks;
    int matches = 0;
    if (const DWORD e = QueryTree(key, display, a.value, &matches, &blocks); e != ERROR_SUCCESS) {
      return Failure(console, e);
    }
    const std::string end = telmo::Format("End of search: %d match(es) found.", matches);
    if (console.json) {
      if (a.value && matches == 0) return RegFail(console, kFailed, end + "\n");
      nlohmann::json keys = nlohmann::json::array();
      for (const auto& b : blocks) keys.push_back(KeyJson(b));
      nlohmann::json document{{"ok", true}, {"keys", keys}};
      if (a.value) document["matches"] = matches;
      PrintJson(document);
      return kSuccess;
    }
    std::cout << "\n";
    for (const auto& b : blocks) PrintKey(b);
    if (a.value) {
      std::cout << end << "\n";
      return matches > 0 ? kSuccess : kFailed;
    }
    return kSuccess;
  }
  if (a.value) {
    auto v = telmo::platform::RegGetValue(key, *a.value);
    if (!v && v.error() == ERROR_FILE_NOT_FOUND && a.value->empty()) {
      // The default value always shows, set or not (as reg.exe shows it).
      if (console.json) {
        PrintJson({{"ok", true},
                   {"key", display},
                   {"values", {{{"name", ""}, {"type", "REG_SZ"}, {"data", nullptr}}}}});
      } else {
        std::cout << "\n" << Printable(display) << "\n    (Default)    REG_SZ    (value not set)\n\n";
      }
      return kSuccess;
    }
    if (!v) return Failure(console, v.error());
    const KeyBlock block{display, {*v}};
    if (console.json) {
      nlohmann::json document = KeyJson(block);
      document["ok"] = true;
      PrintJson(document);
    } else {
      std::cout << "\n";
      PrintKey(block);
    }
    return kSuccess;
  }
  auto values = telmo::platform::RegListValues(key);
  if (!values) return Failure(console, values.error());
  auto subkeys = telmo::platform::RegListSubkeys(key);
  if (!subkeys) return Failure(console, subkeys.error());
  const KeyBlock block{display, std::move(*values)};
  if (console.json) {
    nlohmann::json document = KeyJson(block);
    document["ok"] = true;
    document["subkeys"] = *subkeys;
    PrintJson(document);
    return kSuccess;
  }
  std::cout << "\n";
  if (!block.values.empty()) PrintKey(block);
  for (const auto& name : *subkeys) std::cout << Printable(display + "\\" + name) << "\n";
  return kSuccess;
}

// ---------------------------------------------------------------- add, delete

/// Asks on the terminal. Without one it refuses: `refusal` says what was
/// not done, on stderr.
bool Confirm(const Console& console, const std::string& question, const std::string& refusal, bool force) {
  if (force) return true;
  if (console.json || ::isatty(STDIN_FILENO) == 0) {
    RegFail(console, kFailed,
            "ERROR: " + refusal + ": " + (console.json ? "--json asks no question" : "standard input is not a terminal to ask on") +
                "; add /f to go ahead.\n");
    return false;
  }
  for (;;) {
    std::cout << question << " " << std::flush;
    std::string answer;
    if (!std::getline(std::cin, answer)) return false;
    const std::string a = telmo::ToLower(telmo::Trim(answer));
    if (a == "y" || a == "yes") return true;
    if (a == "n" || a == "no") {
      std::cout << "The operation was cancelled by the user.\n";
      return false;
    }
  }
}

std::optional<DWORD> ParseType(const std::optional<std::string>& text) {
  if (!text) return REG_SZ;
  const std::string t = telmo::ToUpper(*text);
  if (t == "REG_SZ") return REG_SZ;
  if (t == "REG_EXPAND_SZ") return REG_EXPAND_SZ;
  if (t == "REG_DWORD") return REG_DWORD;
  if (t == "REG_BINARY") return REG_BINARY;
  if (t == "REG_MULTI_SZ") return REG_MULTI_SZ;
  return std::nullopt;
}

std::optional<DWORD> ParseDword(std::string_view text) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
    base = 16;
  }
  DWORD value = 0;
  const auto* end = text.data() + text.size();
  const auto [p, ec] = std::from_chars(text.data(), end, value, base);
  if (text.empty() || ec != std::errc() || p != end) return std::nullopt;
  return value;
}

/// The bytes to store for /t and /d; nullopt when the data does not fit the type.
std::optional<std::vector<BYTE>> EncodeData(DWORD type, const std::string& data) {
  std::vector<BYTE> out;
  switch (type) {
    case REG_DWORD: {
      const auto d = ParseDword(data);
      if (!d) return std::nullopt;
      for (int i = 0; i < 4; ++i) out.push_back(static_cast<BYTE>(*d >> (8 * i)));
      return out;
    }
    case REG_BINARY: {
      if (data.size() % 2 != 0) return std::nullopt;
      for (std::size_t i = 0; i < data.size(); i += 2) {
        unsigned b = 0;
        const auto [p, ec] = std::from_chars(data.data() + i, data.data() + i + 2, b, 16);
        if (ec != std::errc() || p != data.data() + i + 2) return std::nullopt;
        out.push_back(static_cast<BYTE>(b));
      }
      return out;
    }
    case REG_MULTI_SZ: {
      std::string s = data;
      for (std::size_t at; (at = s.find("\\0")) != std::string::npos;) s.replace(at, 2, 1, '\0');
      out.assign(s.begin(), s.end());
      out.push_back(0);
      out.push_back(0);
      return out;
    }
    default:
      out.assign(data.begin(), data.end());
      out.push_back(0);
      return out;
  }
}

int Add(const Console& console, const RegArgs& a, const KeyPath& path) {
  const auto type = ParseType(a.type);
  if (!type || (a.type && !a.value)) return InvalidSyntax(console, Verb::kAdd);
  std::optional<std::vector<BYTE>> bytes;
  if (a.value) {
    bytes = EncodeData(*type, a.data.value_or(*type == REG_DWORD ? "0" : ""));
    if (!bytes) return InvalidSyntax(console, Verb::kAdd);
  } else if (a.data) {
    return InvalidSyntax(console, Verb::kAdd);
  }
  if (path.sub.empty()) return Failure(console, ERROR_ACCESS_DENIED);  // a root is no key one can add

  HKEY key;
  if (const LSTATUS rc = RegCreateKeyExA(RootKey(path.root), path.sub.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                         KEY_READ | KEY_WRITE, nullptr, &key, nullptr);
      rc != ERROR_SUCCESS) {
    return Failure(console, rc);
  }
  if (a.value) {
    const auto existing = telmo::platform::RegGetValue(key, *a.value);
    if (existing.ok()) {
      const std::string shown = a.value->empty() ? "(Default)" : *a.value;
      if (!Confirm(console, "Value " + shown + " exists, overwrite(Yes/No)?", "value " + shown + " exists, not overwritten",
                   a.force)) {
        return kFailed;
      }
    } else if (existing.error() != ERROR_FILE_NOT_FOUND) {
      return Failure(console, existing.error());
    }
    if (const LSTATUS rc = RegSetValueExA(key, a.value->c_str(), 0, *type, bytes->data(),
                                          static_cast<DWORD>(bytes->size()));
        rc != ERROR_SUCCESS) {
      return Failure(console, rc);
    }
  }
  return Done(console);
}

int Delete(const Console& console, const RegArgs& a, const KeyPath& path) {
  HKEY key;
  if (const LSTATUS rc = RegOpenKeyExA(RootKey(path.root), path.sub.c_str(), 0, KEY_READ | KEY_WRITE, &key);
      rc != ERROR_SUCCESS) {
    return Failure(console, rc);
  }
  if (a.value) {
    auto existing = telmo::platform::RegGetValue(key, *a.value);
    if (!existing) return Failure(console, existing.error());
    const std::string shown = a.value->empty() ? "(Default)" : *a.value;
    if (!Confirm(console, "Delete the registry value " + shown + " (Yes/No)?", "value " + shown + " not deleted", a.force)) {
      return kFailed;
    }
    if (const LSTATUS rc = RegDeleteValueA(key, a.value->c_str()); rc != ERROR_SUCCESS) return Failure(console, rc);
  } else if (a.all_values) {
    auto values = telmo::platform::RegListValues(key);
    if (!values) return Failure(console, values.error());
    if (!Confirm(console, "Delete all values under the registry key " + path.Display() + " (Yes/No)?",
                 "values of " + path.Display() + " not deleted", a.force)) {
      return kFailed;
    }
    for (const auto& v : *values) {
      const LSTATUS rc = RegDeleteValueA(key, v.name.c_str());
      if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) return Failure(console, rc);
    }
  } else {
    std::string_view parent_path = path.sub;
    const auto cut = parent_path.rfind('\\');
    if (path.sub.empty()) return Failure(console, ERROR_ACCESS_DENIED);  // a root cannot go
    if (!Confirm(console, "Permanently delete the registry key " + path.Display() + " (Yes/No)?",
                 "key " + path.Display() + " not deleted", a.force)) {
      return kFailed;
    }
    const std::string above(cut == std::string_view::npos ? std::string_view() : parent_path.substr(0, cut));
    const std::string name(cut == std::string_view::npos ? parent_path : parent_path.substr(cut + 1));
    HKEY parent;
    if (const LSTATUS rc = RegOpenKeyExA(RootKey(path.root), above.c_str(), 0, KEY_READ | KEY_WRITE, &parent);
        rc != ERROR_SUCCESS) {
      return Failure(console, rc);
    }
    if (const LSTATUS rc = RegDeleteTreeA(parent, name.c_str()); rc != ERROR_SUCCESS) return Failure(console, rc);
  }
  return Done(console);
}

int RunReg(const Console& console, const std::vector<std::string>& args) {
  Verb verb = Verb::kQuery;
  bool help = false;
  const auto parsed = Parse(args, &verb, &help);
  if (help) return Help();
  if (!parsed) {
    if (args.empty() || (verb == Verb::kQuery && telmo::ToLower(args[0]) != "query")) {
      std::ostringstream help_text;
      Help(help_text);
      return RegFail(console, kUsage, "ERROR: Invalid syntax.\n" + help_text.str());
    }
    return InvalidSyntax(console, verb);
  }
  const auto path = SplitKey(parsed->key);
  if (!path) {
    return RegFail(console, kUsage, std::string("ERROR: Invalid key name.\n") + UsageLine(parsed->verb) + "\n");
  }
  switch (parsed->verb) {
    case Verb::kQuery: return Query(console, *parsed, *path);
    case Verb::kAdd: return Add(console, *parsed, *path);
    case Verb::kDelete: return Delete(console, *parsed, *path);
  }
  return kUsage;
}

}  // namespace

void AddRegCommands(CLI::App& app, Console& console) {
  CLI::App* reg = app.add_subcommand(
      "reg", "Read and change the node's registry (reg.exe syntax: reg query|add|delete KEY ..., reg /? for help)");
  // Everything after "reg" is reg.exe syntax ("/v", "/d 0x10", "/?"): take it raw.
  reg->prefix_command();
  reg->fallthrough(false);
  reg->set_help_flag();
  reg->allow_extras();
  reg->callback([reg, &console] {
    // "--json" may follow "reg" like any global option; reg.exe has no such switch.
    std::vector<std::string> args;
    for (auto& a : reg->remaining()) {
      if (a == "--json") {
        console.json = true;
      } else {
        args.push_back(std::move(a));
      }
    }
    console.action = [&console, args = std::move(args)] { return RunReg(console, args); };
  });
}

}  // namespace telmoctl
