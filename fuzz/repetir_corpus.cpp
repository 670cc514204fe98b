// Runs a fuzz target's entry point once on every file named on the command
// line (or found in a named directory), so that the seed corpus and the
// inputs that once crashed are replayed by every test run, with any compiler.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* dados, std::size_t tamanho);

namespace {

void Repetir(const std::filesystem::path& arquivo) {
  std::ifstream entrada(arquivo, std::ios::binary);
  const std::vector<char> bytes{std::istreambuf_iterator<char>(entrada), std::istreambuf_iterator<char>()};
  std::printf("%s (%zu bytes)\n", arquivo.c_str(), bytes.size());
  std::fflush(stdout);
  // A copy of exactly the input's size, so that a read past its end is caught.
  std::vector<std::uint8_t> copia(bytes.begin(), bytes.end());
  LLVMFuzzerTestOneInput(copia.data(), copia.size());
}

}  // namespace

int main(int argc, char** argv) {
  std::set<std::filesystem::path> arquivos;
  for (int i = 1; i < argc; ++i) {
    const std::filesystem::path caminho = argv[i];
    if (std::filesystem::is_directory(caminho)) {
      for (const auto& item : std::filesystem::directory_iterator(caminho))
        if (item.is_regular_file()) arquivos.insert(item.path());
    } else {
      arquivos.insert(caminho);
    }
  }
  if (arquivos.empty()) {
    std::fprintf(stderr, "nenhuma entrada\n");
    return 1;
  }
  for (const auto& arquivo : arquivos) Repetir(arquivo);
  return 0;
}
