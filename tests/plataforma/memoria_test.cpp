// LiberarMemoria between timer runs: the file pages the process alone maps
// read-only leave its resident memory and come back when read; no page that
// was written loses what was written.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "plataforma/memoria.h"

namespace {

constexpr std::size_t kTamanho = 4u << 20;
constexpr std::size_t kPagina = 4096;

std::system_error ErroDoSistema(const std::string& o_que) {
  return std::system_error(errno, std::generic_category(), o_que);
}

// A file of kTamanho bytes beside the tests' build: a file in a tmpfs /tmp
// would be memory itself, and could only leave for swap.
class ArquivoDeTeste {
public:
  explicit ArquivoDeTeste(char semente) : caminho_(std::string(LUMIFORD_BUILD_DIR) + "/memoria_test-" +
                                                   std::to_string(::getpid()) + "-" + semente + ".bin") {
    std::ofstream saida(caminho_, std::ios::binary | std::ios::trunc);
    for (std::size_t i = 0; i < kTamanho; ++i) saida.put(Esperado(semente, i));
    if (!saida.flush()) throw std::runtime_error("não foi possível escrever " + caminho_.string());
  }
  ~ArquivoDeTeste() {
    std::error_code ec;
    std::filesystem::remove(caminho_, ec);
  }
  ArquivoDeTeste(const ArquivoDeTeste&) = delete;
  ArquivoDeTeste& operator=(const ArquivoDeTeste&) = delete;

  static char Esperado(char semente, std::size_t i) { return static_cast<char>(semente + i * 7 + i / kPagina); }
  const std::filesystem::path& caminho() const { return caminho_; }

private:
  std::filesystem::path caminho_;
};

class Mapeamento {
public:
  // fd < 0: anonymous memory.
  Mapeamento(int protecao, int tipo, int fd) {
    endereco_ = ::mmap(nullptr, kTamanho, protecao, tipo | (fd < 0 ? MAP_ANONYMOUS : 0), fd, 0);
    if (endereco_ == MAP_FAILED) throw ErroDoSistema("mmap");
  }
  ~Mapeamento() { ::munmap(endereco_, kTamanho); }
  Mapeamento(const Mapeamento&) = delete;
  Mapeamento& operator=(const Mapeamento&) = delete;

  char* bytes() const { return static_cast<char*>(endereco_); }

  // What the kernel counts as resident of this mapping.
  long RssKb() const {
    std::ifstream smaps("/proc/self/smaps");
    std::ostringstream inicio;
    inicio << std::hex << reinterpret_cast<std::uintptr_t>(endereco_) << '-';
    std::string linha;
    bool nosso = false;
    while (std::getline(smaps, linha)) {
      // A mapping's first line starts with its "start-end" range; its
      // fields' lines have no '-' before their first blank.
      const auto traco = linha.find('-');
      if (traco != std::string::npos && traco < linha.find(' '))
        nosso = linha.rfind(inicio.str(), 0) == 0;
      else if (nosso && linha.rfind("Rss:", 0) == 0)
        return std::stol(linha.substr(4));
    }
    throw std::runtime_error("mapeamento não encontrado em /proc/self/smaps");
  }

private:
  void* endereco_;
};

class Descritor {
public:
  Descritor(const std::filesystem::path& caminho, int modo) : fd_(::open(caminho.c_str(), modo | O_CLOEXEC)) {
    if (fd_ < 0) throw ErroDoSistema("open " + caminho.string());
  }
  ~Descritor() { ::close(fd_); }
  Descritor(const Descritor&) = delete;
  Descritor& operator=(const Descritor&) = delete;
  int fd() const { return fd_; }

private:
  int fd_;
};

long LerTudo(const char* bytes) {
  long soma = 0;
  for (std::size_t i = 0; i < kTamanho; i += kPagina) soma += *static_cast<const volatile char*>(bytes + i);
  return soma;
}

TEST(LiberarMemoria, ReadOnlyFilePagesLeaveTheResidentMemoryAndComeBackWhenRead) {
  ArquivoDeTeste arquivo('a');
  Descritor leitura(arquivo.caminho(), O_RDONLY);
  Mapeamento codigo(PROT_READ, MAP_PRIVATE, leitura.fd());
  LerTudo(codigo.bytes());
  ASSERT_GE(codigo.RssKb(), static_cast<long>(kTamanho / 1024) * 9 / 10);

  if (::madvise(codigo.bytes(), kPagina, MADV_PAGEOUT) != 0 && errno == EINVAL)
    GTEST_SKIP() << "this kernel has no MADV_PAGEOUT (before Linux 5.4): the heap alone is trimmed";
  LerTudo(codigo.bytes());

  LiberarMemoria();
  EXPECT_LT(codigo.RssKb(), static_cast<long>(kTamanho / 1024) / 10);

  for (std::size_t i = 0; i < kTamanho; ++i)
    if (codigo.bytes()[i] != ArquivoDeTeste::Esperado('a', i)) {
      FAIL() << "byte " << i << " changed";
    }
  EXPECT_GE(codigo.RssKb(), static_cast<long>(kTamanho / 1024) * 9 / 10);
}

// Pages that hold what the process wrote: the heap and a program's data, a
// library's read-only data after its relocations were written, a file both
// the process and others write (the engine's lock table).
TEST(LiberarMemoria, WrittenPagesKeepWhatWasWritten) {
  struct Caso {
    const char* nome;
    int tipo;  // MAP_PRIVATE or MAP_SHARED
    bool do_arquivo;
    bool so_leitura_depois;
  };
  const std::vector<Caso> casos = {
      {"anonymous memory", MAP_PRIVATE, false, false},
      {"a private file mapping written", MAP_PRIVATE, true, false},
      {"a private file mapping written, then made read-only", MAP_PRIVATE, true, true},
      {"a shared file mapping written", MAP_SHARED, true, false},
  };
  for (const auto& caso : casos) {
    SCOPED_TRACE(caso.nome);
    ArquivoDeTeste arquivo('b');
    Descritor escrita(arquivo.caminho(), O_RDWR);
    Mapeamento memoria(PROT_READ | PROT_WRITE, caso.tipo, caso.do_arquivo ? escrita.fd() : -1);
    for (std::size_t i = 0; i < kTamanho; ++i) memoria.bytes()[i] = ArquivoDeTeste::Esperado('z', i);
    if (caso.so_leitura_depois) {
      ASSERT_EQ(::mprotect(memoria.bytes(), kTamanho, PROT_READ), 0);
    }

    LiberarMemoria();

    for (std::size_t i = 0; i < kTamanho; ++i)
      if (memoria.bytes()[i] != ArquivoDeTeste::Esperado('z', i)) {
        FAIL() << "byte " << i << " lost";
      }
    if (caso.do_arquivo) {
      // A private mapping never writes to the file; a shared one always does.
      std::vector<char> no_arquivo(kTamanho);
      ASSERT_EQ(::pread(escrita.fd(), no_arquivo.data(), kTamanho, 0), static_cast<ssize_t>(kTamanho));
      const char semente = caso.tipo == MAP_SHARED ? 'z' : 'b';
      for (std::size_t i = 0; i < kTamanho; ++i)
        if (no_arquivo[i] != ArquivoDeTeste::Esperado(semente, i)) {
          FAIL() << "file byte " << i;
        }
    }
  }
}

}  // namespace
