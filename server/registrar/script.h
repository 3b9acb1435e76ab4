// Registry scripts: the classic registrar language, parsed and run against a
// Registry.
//
//   script  := { ROOT "{" { entry } "}" }
//   entry   := "val" name "=" "s" data
//            | "Delete" name
//            | [ "NoRemove" | "ForceRemove" ] name [ "=" "s" data ] [ "{" { entry } "}" ]
//
// ROOT is HKCR, HKCU, HKLM, HKU, HKCC or a long form (HKEY_CLASSES_ROOT ...);
// roots, keywords and the type letter are matched without regard to case
// and only when unquoted. A name is a word or a quoted token (script_tokenizer.h);
// a key name may hold backslashes to reach several levels at once. Data is
// quoted. Only string data ("s") is supported. Keys nest at most 64 deep.
//
// Replacements: "%NAME%" in a name or in data is replaced by the value
// registered for NAME (compared without regard to case); "%%" stands for one
// percent sign. The replacement happens inside the token, so a value holding
// quotes, blanks or braces cannot change the script's structure. An unknown
// NAME or a lone "%" makes the script malformed.
//
// Registering:
//   key             created if missing (with its parents); "= s" sets its
//                   default value; then its entries are run.
//   NoRemove key    the same.
//   ForceRemove key deleted with everything under it, then as above.
//   Delete key      deleted with everything under it.
//   val             the named value is set.
// Unregistering:
//   key             if it exists, its entries are run, and then it is deleted
//                   (with its values) unless subkeys remain under it. A key
//                   that stays keeps its default value.
//   NoRemove key    its entries are run; the key itself stays.
//   ForceRemove key deleted with everything under it.
//   Delete key      nothing.
//   val             the named value is deleted.
// Missing keys and values are never an error when deleting.
//
// A script is parsed in full, replacements included, before the registry is
// touched: a malformed script changes nothing and gives kResultBadScript. A registry
// failure ends the run at once with that failure; what was done before it
// stays done.
#ifndef ORVO_SERVER_REGISTRAR_SCRIPT_H_
#define ORVO_SERVER_REGISTRAR_SCRIPT_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "server/registrar/registry.h"

namespace orvo::registrar {

// A script that cannot be run: malformed, or naming an unknown replacement.
constexpr Result kResultBadScript = kResultException;

// Values for %NAME% in scripts. Names compare without regard to case.
class ReplacementMap {
 public:
  // Adds |name| or replaces its value. An empty name, or one holding a
  // percent sign, could never be written in a script: kResultInvalidArg.
  Result Add(std::u16string_view name, std::u16string_view value);
  // The value of |name|, or nullptr.
  const std::u16string* Find(std::u16string_view name) const;
  void Clear() { entries_.clear(); }

 private:
  std::vector<std::pair<std::u16string, std::u16string>> entries_;
};

class ScriptRegistrar {
 public:
  // REQUIRES: |registry| outlives the registrar.
  explicit ScriptRegistrar(Registry* registry) : registry_(registry) {}

  // Per-user mode: what scripts address under HKEY_CLASSES_ROOT goes to
  // HKEY_CURRENT_USER\Software\Classes instead. Off at first.
  void set_per_user(bool per_user) { per_user_ = per_user; }
  bool per_user() const { return per_user_; }

  Result AddReplacement(std::u16string_view name, std::u16string_view value) {
    return replacements_.Add(name, value);
  }
  void ClearReplacements() { replacements_.Clear(); }

  // Runs |script| (UTF-16) to register or to unregister its entries.
  // kResultOk, kResultBadScript for a malformed script, kResultOutOfMemory, or the registry's
  // failure. Never throws.
  Result Run(std::u16string_view script, bool do_register);
  Result Register(std::u16string_view script) { return Run(script, true); }
  Result Unregister(std::u16string_view script) { return Run(script, false); }

  // The same for a script of 8-bit units, as carried in resources. Only
  // ASCII is accepted: any unit above 0x7F before the first NUL gives
  // kResultBadScript.
  Result RunAscii(std::string_view script, bool do_register);

 private:
  Registry* registry_;
  bool per_user_ = false;
  ReplacementMap replacements_;
};

}  // namespace orvo::registrar

#endif  // ORVO_SERVER_REGISTRAR_SCRIPT_H_
