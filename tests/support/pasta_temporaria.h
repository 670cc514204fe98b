// Unique temporary directory for one test, removed with everything in it
// when the object goes out of scope. Tests may run in parallel, so every
// test makes its own instead of sharing a fixed path.
#pragma once

#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <system_error>

namespace lumiford::teste {

class PastaTemporaria {
public:
    explicit PastaTemporaria(const std::string& prefixo = "lumiford") {
        const std::filesystem::path base = std::filesystem::temp_directory_path();
        // A directory made anew is ours alone: a name taken by another
        // test (or run) is simply passed over.
        static thread_local std::mt19937_64 sorteio{std::random_device{}()};
        static constexpr char letras[] = "abcdefghijklmnopqrstuvwxyz0123456789";
        for (int tentativa = 0; tentativa < 100; ++tentativa) {
            std::string nome = prefixo + "-";
            for (int i = 0; i < 8; ++i) nome += letras[sorteio() % (sizeof letras - 1)];
            std::error_code ec;
            if (std::filesystem::create_directory(base / nome, ec)) {
                caminho_ = base / nome;
                return;
            }
            if (ec) throw std::system_error(ec, "pasta temporária em " + base.string());
        }
        throw std::runtime_error("pasta temporária: nenhum nome livre em " + base.string());
    }

    ~PastaTemporaria() {
        std::error_code ec;
        // Owner write permission may have been taken away by a test.
        std::filesystem::permissions(caminho_, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
        std::filesystem::remove_all(caminho_, ec);
    }

    PastaTemporaria(const PastaTemporaria&) = delete;
    PastaTemporaria& operator=(const PastaTemporaria&) = delete;

    const std::filesystem::path& caminho() const noexcept { return caminho_; }
    std::string str() const { return caminho_.string(); }
    // Path of an entry inside the directory.
    std::string operator/(const std::string& nome) const {
        return (caminho_ / nome).string();
    }

private:
    std::filesystem::path caminho_;
};

}  // namespace lumiford::teste
