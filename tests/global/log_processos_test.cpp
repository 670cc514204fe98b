// Log.txt written by several processes of ours at once, beside another
// program and under logrotate: processes made with fork, so Linux only.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "global/log.h"
#include "tests/global/log_apoio.h"
#include "tests/support/filho.h"
#include "tests/support/linhas_log.h"
#include "tests/support/pasta_temporaria.h"

namespace {

using namespace lumiford::teste::log;

// What a line of the log must look like, and whose it is: "<writer> <n>".
struct LinhaDe {
  std::string autor;
  int numero = -1;
};
std::optional<LinhaDe> LerLinha(const std::string& linha, const std::string& prefixo) {
  if (!linha.starts_with(prefixo)) return std::nullopt;
  const std::string m = linha.substr(prefixo.size());
  const auto espaco = m.find(' ');
  if (espaco == std::string::npos || espaco + 1 >= m.size()) return std::nullopt;
  for (std::size_t i = espaco + 1; i < m.size(); ++i)
    if (m[i] < '0' || m[i] > '9') return std::nullopt;
  return LinhaDe{m.substr(0, espaco), std::stoi(m.substr(espaco + 1))};
}

// Every file's lines: the mark first, CR LF ends, each line one of ours
// (date, time and "<writer> <n>") or one of the other program's ("externo <n>").
std::map<std::string, std::vector<int>> LinhasDosArquivos(const std::vector<std::filesystem::path>& arquivos) {
  std::map<std::string, std::vector<int>> por_autor;
  for (const auto& arquivo : arquivos) {
    for (const std::string& linha : lumiford::teste::LinhasCrLf(LerBytes(arquivo.string()), arquivo)) {
      auto lida = LerLinha(linha, P);
      if (!lida && linha.starts_with("externo ")) lida = LerLinha(linha, "");
      if (!lida) {
        ADD_FAILURE() << arquivo << ": malformed line \"" << linha << "\"";
        continue;
      }
      por_autor[lida->autor].push_back(lida->numero);
    }
  }
  return por_autor;
}

// Another program appending whole lines to the log and holding it open a
// moment each time, as a second writer that is none of ours would.
int EscritorExterno(const std::string& caminho, int linhas) {
  for (int i = 0; i < linhas; ++i) {
    const int fd = ::open(caminho.c_str(), O_WRONLY | O_APPEND);
    if (fd < 0) return 1;
    const std::string linha = "externo " + std::to_string(i) + "\r\n";
    if (::write(fd, linha.data(), linha.size()) != static_cast<ssize_t>(linha.size())) return 2;
    std::this_thread::sleep_for(std::chrono::microseconds(300));
    ::close(fd);
  }
  return 0;
}

// Several processes of ours (the service, /ONCE, /CHECK, /INSTALL of one
// installation) writing the log at once, with another program appending to
// it, or with the log rotated under them by renaming it and starting a new
// one or by copying and emptying it (logrotate's "create" and
// "copytruncate"). One Log.txt, no piece moved aside, every line whole, none
// lost nor written twice (copytruncate's own gap between its copy and its
// truncation aside).
TEST_F(LogTest, ManyProcessesAndAnotherProgramWritingAtOnceWhileTheLogIsRotated) {
  enum class Rotacao { Nenhuma, Criar, CopiarEEsvaziar };
  struct Caso {
    const char* nome;
    Rotacao rotacao;
    bool externo;
  };
  for (const Caso& caso : {Caso{"outro programa escrevendo", Rotacao::Nenhuma, true},
                           Caso{"create", Rotacao::Criar, false},
                           Caso{"copytruncate", Rotacao::CopiarEEsvaziar, false}}) {
    SCOPED_TRACE(caso.nome);
    lumiford::teste::PastaTemporaria outra{"log-processos"};
    SubstituirDiretorioExecutavel(outra.str());
    const std::string log = outra.str() + "/Log.txt";
    constexpr int processos = 4, linhas = 150, externas = 200;

    // Each writer notes when each of its calls began and ended, and the
    // rotation when each copy began and its truncation ended (the monotonic
    // clock is the machine's): a line copytruncate may lose is one whose call
    // overlaps such a gap.
    const auto agora = [] { return std::chrono::steady_clock::now().time_since_epoch().count(); };
    const auto tempos = [this](const std::string& nome) { return pasta / ("tempos-" + nome); };
    std::vector<std::unique_ptr<lumiford::teste::Filho>> filhos;
    for (int p = 0; p < processos; ++p)
      filhos.push_back(std::make_unique<lumiford::teste::Filho>([&, p] {
        std::ofstream saida(tempos("p" + std::to_string(p)));
        for (int i = 0; i < linhas; ++i) {
          const auto antes = agora();
          GravarLog("p" + std::to_string(p) + " " + std::to_string(i));
          saida << antes << ' ' << agora() << '\n';
        }
        return saida.flush() ? 0 : 1;
      }));
    if (caso.externo) {
      GravarLog("inicio 0");  // the other program appends to a log that is there
      filhos.push_back(std::make_unique<lumiford::teste::Filho>([&log] { return EscritorExterno(log, externas); }));
    }
    std::unique_ptr<lumiford::teste::Filho> rotacao;
    if (caso.rotacao != Rotacao::Nenhuma)
      rotacao = std::make_unique<lumiford::teste::Filho>([&] {
        std::ofstream janelas(tempos("janelas"));
        for (int r = 1; r <= 15; ++r) {
          std::this_thread::sleep_for(std::chrono::milliseconds(40));
          const std::string destino = log + "." + std::to_string(r);
          if (caso.rotacao == Rotacao::Criar) {
            if (::rename(log.c_str(), destino.c_str()) != 0) continue;
            const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
            if (fd >= 0) ::close(fd);
          } else {
            std::error_code erro;
            const auto inicio = agora();
            std::filesystem::copy_file(log, destino, erro);
            if (erro) continue;
            if (::truncate(log.c_str(), 0) != 0) return 1;
            janelas << inicio << ' ' << agora() << '\n';
          }
        }
        return janelas.flush() ? 0 : 1;
      });
    for (auto& f : filhos) EXPECT_EQ(f->Esperar(std::chrono::seconds(90)), 0);
    if (rotacao) {
      EXPECT_EQ(rotacao->Esperar(std::chrono::seconds(30)), 0);
    }

    std::vector<std::filesystem::path> arquivos;
    for (const auto& e : std::filesystem::directory_iterator(outra.caminho())) {
      const std::string nome = e.path().filename().string();
      EXPECT_TRUE(nome == "Log.txt" || nome.starts_with("Log.txt.")) << "left behind: " << nome;
      EXPECT_FALSE(nome.ends_with(".novo")) << nome;
      arquivos.push_back(e.path());
    }
    std::sort(arquivos.begin(), arquivos.end(), [](const auto& a, const auto& b) {
      // Log.txt.1 is the oldest, Log.txt the newest.
      const auto ordem = [](const std::filesystem::path& c) {
        const std::string n = c.filename().string();
        return n == "Log.txt" ? 1000 : std::stoi(n.substr(8));
      };
      return ordem(a) < ordem(b);
    });
    const auto por_autor = LinhasDosArquivos(arquivos);
    std::map<std::string, int> esperadas;
    if (caso.externo) esperadas = {{"externo", externas}, {"inicio", 1}};
    for (int p = 0; p < processos; ++p) esperadas["p" + std::to_string(p)] = linhas;
    for (const auto& [autor, total] : esperadas) {
      SCOPED_TRACE(autor);
      const auto it = por_autor.find(autor);
      ASSERT_NE(it, por_autor.end());
      const std::vector<int>& numeros = it->second;
      // Each writer's lines in its order, none twice.
      EXPECT_TRUE(std::is_sorted(numeros.begin(), numeros.end()));
      EXPECT_EQ(std::adjacent_find(numeros.begin(), numeros.end()), numeros.end());
      if (caso.rotacao == Rotacao::CopiarEEsvaziar) {
        const auto pares = [](const std::filesystem::path& arquivo) {
          std::vector<std::pair<long long, long long>> lidos;
          std::ifstream entrada(arquivo);
          for (long long a, b; entrada >> a >> b;) lidos.emplace_back(a, b);
          return lidos;
        };
        const auto janelas = pares(tempos("janelas"));
        const auto chamadas = pares(tempos(autor));
        ASSERT_EQ(static_cast<int>(chamadas.size()), total);
        const std::set<int> presentes(numeros.begin(), numeros.end());
        for (int i = 0; i < total; ++i) {
          if (presentes.count(i)) continue;
          const auto [antes, depois] = chamadas[static_cast<std::size_t>(i)];
          EXPECT_TRUE(std::any_of(janelas.begin(), janelas.end(),
                                  [&](const auto& j) { return antes <= j.second && depois >= j.first; }))
              << "line " << i << " lost outside every gap between a copy and its truncation";
        }
      } else {
        EXPECT_EQ(static_cast<int>(numeros.size()), total);
      }
    }
    EXPECT_EQ(por_autor.size(), esperadas.size());
  }
}

}  // namespace
