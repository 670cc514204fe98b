// Unique temporary directory for one test, removed with everything in it
// when the object goes out of scope. Tests may run in parallel, so every
// test makes its own instead of sharing a fixed path.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include <cerrno>

namespace lumiford::teste {

class PastaTemporaria {
public:
    explicit PastaTemporaria(const std::string& prefixo = "lumiford") {
        std::filesystem::path base = std::filesystem::temp_directory_path();
        std::string modelo = (base / (prefixo + "-XXXXXX")).string();
        std::vector<char> buffer(modelo.begin(), modelo.end());
        buffer.push_back('\0');
        if (::mkdtemp(buffer.data()) == nullptr)
            throw std::system_error(errno, std::generic_category(),
                                    "mkdtemp " + modelo);
        caminho_ = buffer.data();
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
