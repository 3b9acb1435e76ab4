// Splits a registry script into tokens.
//
// Tokens are separated by white space (blank, tab, CR, LF, VT, FF). A token
// that begins with a single quote runs to the matching quote, and two quotes
// inside it stand for one; such a token is always a name or data, never a
// keyword or brace. Any other token runs to the next white space; "{", "}"
// and "=" alone are punctuation. A NUL unit ends the script.
#ifndef ORVO_SERVER_REGISTRAR_SCRIPT_TOKENIZER_H_
#define ORVO_SERVER_REGISTRAR_SCRIPT_TOKENIZER_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace orvo::registrar {

struct ScriptToken {
  enum class Kind {
    kWord,        // unquoted text
    kQuoted,      // quoted text; |text| holds it without quotes, '' undone
    kOpenBrace,   // {
    kCloseBrace,  // }
    kEquals,      // =
    kEnd,         // no more tokens
  };
  Kind kind = Kind::kEnd;
  std::u16string text;
  size_t offset = 0;  // where the token begins, in units
};

class ScriptTokenizer {
 public:
  explicit ScriptTokenizer(std::u16string_view script);

  // Reads the next token. False for an unterminated quoted token; the
  // tokenizer then stays at its end.
  bool Next(ScriptToken* token);

 private:
  std::u16string_view script_;
  size_t pos_ = 0;
};

}  // namespace orvo::registrar

#endif  // ORVO_SERVER_REGISTRAR_SCRIPT_TOKENIZER_H_
