#include "server/registrar/script_tokenizer.h"

namespace orvo::registrar {

namespace {

constexpr char16_t kQuote = u'\'';

bool IsSpace(char16_t c) {
  return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n' || c == u'\v' || c == u'\f';
}

}  // namespace

ScriptTokenizer::ScriptTokenizer(std::u16string_view script) : script_(script) {
  const size_t nul = script_.find(u'\0');
  if (nul != std::u16string_view::npos) script_ = script_.substr(0, nul);
}

bool ScriptTokenizer::Next(ScriptToken* token) {
  while (pos_ < script_.size() && IsSpace(script_[pos_])) ++pos_;
  token->offset = pos_;
  token->text.clear();
  if (pos_ == script_.size()) {
    token->kind = ScriptToken::Kind::kEnd;
    return true;
  }

  if (script_[pos_] == kQuote) {
    token->kind = ScriptToken::Kind::kQuoted;
    ++pos_;
    while (true) {
      if (pos_ == script_.size()) return false;  // unterminated
      if (script_[pos_] == kQuote) {
        if (pos_ + 1 < script_.size() && script_[pos_ + 1] == kQuote) {
          token->text += kQuote;
          pos_ += 2;
          continue;
        }
        ++pos_;
        return true;
      }
      token->text += script_[pos_++];
    }
  }

  const size_t start = pos_;
  while (pos_ < script_.size() && !IsSpace(script_[pos_])) ++pos_;
  token->text.assign(script_.substr(start, pos_ - start));
  if (token->text == u"{") {
    token->kind = ScriptToken::Kind::kOpenBrace;
  } else if (token->text == u"}") {
    token->kind = ScriptToken::Kind::kCloseBrace;
  } else if (token->text == u"=") {
    token->kind = ScriptToken::Kind::kEquals;
  } else {
    token->kind = ScriptToken::Kind::kWord;
  }
  return true;
}

}  // namespace orvo::registrar
