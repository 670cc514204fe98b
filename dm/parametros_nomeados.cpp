// The statement's named parameters: every :NAME outside quotes and
// comments becomes a positional "?", and its name is kept in order.
#include "dm/banco_interno.h"

namespace banco_interno {

namespace {

bool InicioNome(char c) { return std::isalpha(static_cast<unsigned char>(c)) || c == '_'; }
bool ParteNome(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '$'; }

}  // namespace

TextoPosicional Posicional(const std::string& sql) {
  TextoPosicional r;
  r.sql.reserve(sql.size());
  const std::size_t n = sql.size();
  std::size_t i = 0;
  auto copiarAte = [&](std::size_t fim) {
    r.sql.append(sql, i, fim - i);
    i = fim;
  };
  while (i < n) {
    char c = sql[i];
    char prox = i + 1 < n ? sql[i + 1] : '\0';
    if (c == '\'' || c == '"') {
      // A doubled quote inside stays inside; the scan just resumes after it.
      std::size_t f = sql.find(c, i + 1);
      copiarAte(f == std::string::npos ? n : f + 1);
    } else if ((c == 'q' || c == 'Q') && prox == '\'' && i + 2 < n &&
               (i == 0 || !ParteNome(sql[i - 1]))) {
      char abre = sql[i + 2];
      char fecha = abre == '(' ? ')' : abre == '[' ? ']' : abre == '{' ? '}' : abre == '<' ? '>' : abre;
      std::size_t f = i + 3;
      while (f + 1 < n && !(sql[f] == fecha && sql[f + 1] == '\'')) ++f;
      copiarAte(std::min(n, f + 2));
    } else if (c == '-' && prox == '-') {
      std::size_t f = sql.find('\n', i);
      copiarAte(f == std::string::npos ? n : f + 1);
    } else if (c == '/' && prox == '*') {
      std::size_t f = sql.find("*/", i + 2);
      copiarAte(f == std::string::npos ? n : f + 2);
    } else if (c == ':' && InicioNome(prox)) {
      std::size_t f = i + 1;
      while (f < n && ParteNome(sql[f])) ++f;
      r.nomes.push_back(MaiusculasAscii(sql.substr(i + 1, f - i - 1)));
      r.sql.push_back('?');
      i = f;
    } else {
      r.sql.push_back(c);
      ++i;
    }
  }
  return r;
}

}  // namespace banco_interno
