#include "global/log.h"

#include <array>
#include <filesystem>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <system_error>

#include "global/datas.h"
#include "global/funcoes.h"
#include "global/uglobal.h"
#include "plataforma/arquivos.h"
#include "plataforma/caminhos.h"
#include "plataforma/executavel.h"

// On disk the log is always in one form: the UTF-8 byte-order mark, then
// every line followed by CR LF. A call reads the lines back splitting at CR
// LF, lone CR or lone LF, adds its own line and writes the form again. That
// whole-file rewrite is only needed when the file is not already in that
// form; when it is, adding the line at the end gives the very same bytes. The
// file is in that form when our previous call left it so (same file, size
// and times) or when a full read finds it so.

namespace {

constexpr std::string_view bom = "\xEF\xBB\xBF";
constexpr std::string_view fim_de_linha = "\r\n";
constexpr std::size_t tamanho_bloco = std::size_t{1} << 20;

std::mutex mutex_log;

// The file as our last call left it, in the normal form. Empty when unknown
// or when that call wrote a message with raw CR or LF in it.
struct EstadoConhecido {
  std::string caminho;
  EstadoArquivo estado;
};
std::optional<EstadoConhecido> ultimo_estado;

std::string prefixo_data_hora(DataHora agora) {
  return FormatarData(DataDe(agora)) + " " + FormatarHora(agora) + ": ";
}

std::string nome_preservado(DataHora agora, int tentativa) {
  const std::string data = FormatarData(DataDe(agora));  // dd/mm/yyyy
  const std::string hora = FormatarHora(agora);          // hh:nn:ss
  std::string nome = "Log-" + data.substr(6, 4) + data.substr(3, 2) + data.substr(0, 2) + "-" +
                     hora.substr(0, 2) + hora.substr(3, 2) + hora.substr(6, 2);
  if (tentativa > 1) {
    nome += '-';
    nome += std::to_string(tentativa);
  }
  return nome + ".txt";
}

// The file cannot be read as a log: it is kept aside, never overwritten.
class LogIlegivel : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Reads the whole file in blocks, handing each to the visitor.
template <typename Visitante>
void percorrer(const ArquivoLeitura& arquivo, Visitante&& visitante) {
  std::string bloco(tamanho_bloco, '\0');
  std::uint64_t posicao = 0;
  for (;;) {
    const std::size_t lidos = arquivo.LerEm(posicao, bloco.data(), bloco.size());
    if (lidos == 0) break;
    visitante(std::string_view(bloco.data(), lidos), posicao);
    posicao += lidos;
  }
}

// One pass over the file: is it valid UTF-8, and is it already in the form
// we write? Throws LogIlegivel when it is not UTF-8.
bool ja_normalizado(const ArquivoLeitura& arquivo) {
  ValidadorUtf8 validador;
  bool normal = true;
  bool cr_anterior = false;
  bool vazio = true;     // nothing after the byte-order mark yet
  std::uint64_t total = 0;
  std::uint64_t inicio_sequencia = 0;
  char ultimo = '\0';
  std::array<char, 3> inicio{};
  percorrer(arquivo, [&](std::string_view bloco, std::uint64_t posicao) {
    for (std::size_t i = 0; i < bloco.size(); ++i) {
      const char c = bloco[i];
      const std::uint64_t indice = posicao + i;
      if (indice < 3) inicio[indice] = c;
      if (validador.Completo()) inicio_sequencia = indice;
      if (!validador.Aceitar(static_cast<unsigned char>(c)))
        throw LogIlegivel("o conteúdo não é UTF-8 válido na posição " + std::to_string(inicio_sequencia));
      if (indice >= 3) vazio = false;
      if (c == '\n' && !cr_anterior) normal = false;
      if (cr_anterior && c != '\n') normal = false;
      cr_anterior = c == '\r';
      ultimo = c;
    }
    total = posicao + bloco.size();
  });
  if (!validador.Completo())
    throw LogIlegivel("o conteúdo não é UTF-8 válido na posição " + std::to_string(inicio_sequencia));
  if (total < 3 || std::string_view(inicio.data(), 3) != bom) return false;
  if (cr_anterior) return false;  // a lone CR at the very end
  return normal && (vazio || ultimo == '\n');
}

// Puts the lines of the file in the normal form: byte-order mark skipped,
// every CR LF, lone CR and lone LF made one CR LF, a last line without an end
// given one. The mark itself is written by the caller.
class Normalizador {
 public:
  void Processar(std::string_view bloco, bool inicio_do_arquivo, std::string& saida) {
    std::size_t i = inicio_do_arquivo && bloco.starts_with(bom) ? bom.size() : 0;
    for (; i < bloco.size(); ++i) {
      const char c = bloco[i];
      if (c == '\r' || (c == '\n' && !cr_anterior_)) saida += fim_de_linha;
      if (c != '\r' && c != '\n') saida += c;
      cr_anterior_ = c == '\r';
      linha_aberta_ = c != '\r' && c != '\n';
    }
  }
  void Terminar(std::string& saida) {
    if (linha_aberta_) saida += fim_de_linha;
    linha_aberta_ = false;
  }

 private:
  bool cr_anterior_ = false;
  bool linha_aberta_ = false;
};

void escrever_normalizado(const ArquivoLeitura& origem, ArquivoEscrita& destino) {
  Normalizador normalizador;
  std::string saida;
  saida.reserve(tamanho_bloco * 2);
  percorrer(origem, [&](std::string_view bloco, std::uint64_t posicao) {
    normalizador.Processar(bloco, posicao == 0, saida);
    destino.Escrever(saida);
    saida.clear();
  });
  normalizador.Terminar(saida);
  destino.Escrever(saida);
}

// Adds the bytes at the end of the file at the path, when it is still the
// file that was looked at (the test tells); empty, with nothing written,
// when another file has taken its name meanwhile.
template <typename Teste>
std::optional<EstadoArquivo> acrescentar(const std::string& caminho, std::string_view dados, const Teste& mesmo_arquivo) {
  ArquivoEscrita arquivo = ArquivoEscrita::Abrir(caminho, ArquivoEscrita::Modo::Acrescentar);
  if (!mesmo_arquivo(arquivo.Estado())) return std::nullopt;
  arquivo.Escrever(dados);
  const EstadoArquivo estado = arquivo.Estado();
  arquivo.Fechar();
  return estado;
}

// The line added to a file another program holds open for writing. Its last
// line may still be open: ours starts on a line of its own.
template <typename Teste>
bool acrescentar_junto(const std::string& caminho, const std::string& linha, const Teste& mesmo_arquivo) {
  std::string dados;
  {
    const ArquivoLeitura arquivo = ArquivoLeitura::Abrir(caminho);
    const std::uint64_t tamanho = arquivo.Tamanho();
    char ultimo = '\n';
    if (tamanho > 0 && arquivo.LerEm(tamanho - 1, &ultimo, 1) != 1) ultimo = '\n';
    if (tamanho == 0)
      dados = bom;
    else if (ultimo != '\n' && ultimo != '\r')
      dados = fim_de_linha;
  }
  dados += linha;
  return acrescentar(caminho, dados, mesmo_arquivo).has_value();
}

EstadoArquivo criar(const std::string& caminho, std::string_view linha) {
  ArquivoEscrita arquivo = ArquivoEscrita::Abrir(caminho, ArquivoEscrita::Modo::Substituir);
  arquivo.Escrever(std::string(bom) + std::string(linha));
  const EstadoArquivo estado = arquivo.Estado();
  arquivo.Fechar();
  return estado;
}

// The full rewrite: into a new file beside the log, then put in its place,
// so that a failure half-way never leaves a half log behind.
EstadoArquivo reescrever(const std::string& log, ArquivoLeitura& origem, std::string_view linha) {
  // A log that is a link to a file elsewhere stays a link: the file it points
  // to is the one replaced.
  std::error_code erro;
  std::string caminho = TextoUtf8(std::filesystem::canonical(CaminhoUtf8(log), erro));
  if (erro) caminho = log;
  const std::string temporario = caminho + ".novo";
  ArquivoEscrita novo;
  try {
    novo = ArquivoEscrita::Abrir(temporario, ArquivoEscrita::Modo::Substituir);
  } catch (const std::system_error& e) {
    if (e.code() != std::errc::permission_denied && e.code() != std::errc::read_only_file_system) throw;
  }
  if (!novo.Aberto()) {
    // A directory we may not write into: rewrite the file itself, from a
    // copy in memory.
    std::string conteudo;
    percorrer(origem, [&](std::string_view bloco, std::uint64_t) { conteudo.append(bloco); });
    origem.Fechar();
    std::string normal(bom);
    Normalizador normalizador;
    normalizador.Processar(conteudo, true, normal);
    normalizador.Terminar(normal);
    normal += linha;
    ArquivoEscrita arquivo = ArquivoEscrita::Abrir(caminho, ArquivoEscrita::Modo::Substituir);
    arquivo.Escrever(normal);
    const EstadoArquivo estado = arquivo.Estado();
    arquivo.Fechar();
    return estado;
  }
  try {
    novo.Escrever(bom);
    escrever_normalizado(origem, novo);
    novo.Escrever(linha);
    novo.Fechar();
    // Windows replaces no file that is open, ours included.
    origem.Fechar();
    RenomearArquivo(temporario, caminho);
  } catch (...) {
    novo = ArquivoEscrita();
    RemoverArquivo(temporario);
    throw;
  }
  // The rename itself changes the file's change time.
  const auto estado = EstadoDoArquivo(caminho);
  if (!estado) throw std::system_error(std::make_error_code(std::errc::no_such_file_or_directory), caminho);
  return *estado;
}

// Moves the unreadable file aside under a dated name; returns that name.
std::string preservar(const std::string& diretorio, const std::string& caminho, DataHora agora) {
  for (int tentativa = 1; tentativa <= 1000; ++tentativa) {
    const std::string nome = nome_preservado(agora, tentativa);
    if (RenomearSemSubstituir(caminho, diretorio + SeparadorCaminho + nome)) return nome;
  }
  throw std::runtime_error("sem nome livre para preservar " + caminho);
}

bool tem_quebra(std::string_view texto) { return texto.find_first_of("\r\n") != std::string_view::npos; }

}  // namespace

void GravarLog(const std::string& mensagem) {
  std::lock_guard trava(mutex_log);

  const std::string diretorio = DiretorioDoExecutavel();
  if (DiretorioExe != diretorio) DiretorioExe = diretorio;
  const std::string caminho = diretorio + SeparadorCaminho + "Log.txt";

  const DataHora agora = Agora();
  // Text that the next call can read back (any invalid byte becomes U+FFFD),
  // and no access token whole, whatever message named an address.
  const std::string texto = Utf8Legivel(MascararToken(mensagem));
  const std::string linha = (texto.empty() ? std::string(" ") : prefixo_data_hora(agora) + texto) + std::string(fim_de_linha);
  // Raw CR or LF of the message stay in this call's line; the next call
  // makes line ends of them.
  const bool quebra_pendente = tem_quebra(texto);

  std::optional<EstadoConhecido> conhecido = std::move(ultimo_estado);
  ultimo_estado.reset();
  const auto lembrar = [&](const EstadoArquivo& estado) {
    if (!quebra_pendente) ultimo_estado = EstadoConhecido{caminho, estado};
  };
  const auto nao_comum = [&] { return std::runtime_error(caminho + " não é um arquivo comum"); };

  // The service, /ONCE, /CHECK and /INSTALL of one installation write the
  // same file: the lock keeps their read-and-write apart. A file another
  // writer replaced while we looked (a rotation, say) is looked at again.
  for (int tentativa = 1;; ++tentativa) {
    TravaEscrita escritores;
    try {
      escritores = TravaEscrita::Tomar(caminho);
    } catch (const std::system_error& e) {
      if (e.code() == std::errc::is_a_directory) throw nao_comum();
      throw;
    }
    const auto mesmo_arquivo = [&](const EstadoArquivo& estado) { return tentativa >= 5 || escritores.Sobre(estado); };

    ArquivoLeitura arquivo;
    std::string motivo;
    bool outro_escritor = false;
    try {
      arquivo = ArquivoLeitura::AbrirSemEscritores(caminho);
    } catch (const ArquivoEmUso&) {
      outro_escritor = true;
    } catch (const std::system_error& e) {
      if (e.code() == std::errc::is_a_directory || e.code() == std::errc::invalid_argument) throw nao_comum();
      if (e.code() != std::errc::no_such_file_or_directory) motivo = e.code().message();
    }

    if (outro_escritor) {
      // A program that is not one of our writers has the file open for
      // writing (an editor, a backup agent, a rotation's copy): the line is
      // added at the end, where that program's own writes go too, and the
      // file is neither rewritten nor moved aside while it is held.
      if (!acrescentar_junto(caminho, linha, mesmo_arquivo)) continue;
      return;
    }

    if (motivo.empty() && !arquivo.Aberto()) {
      lembrar(criar(caminho, linha));
      return;
    }

    if (motivo.empty()) {
      try {
        const EstadoArquivo estado = arquivo.Estado();
        if (!mesmo_arquivo(estado)) continue;
        bool so_acrescentar = conhecido && conhecido->caminho == caminho && conhecido->estado == estado;
        std::string dados = linha;
        if (!so_acrescentar && estado.tamanho == 0) {
          // An empty file (a rotation's new one, or made by the lock): the
          // mark and the line are its whole normal form.
          dados = std::string(bom) + linha;
          so_acrescentar = true;
        }
        if (so_acrescentar || ja_normalizado(arquivo)) {
          arquivo.Fechar();
          const auto escrito = acrescentar(caminho, dados, mesmo_arquivo);
          if (!escrito) continue;
          lembrar(*escrito);
        } else {
          lembrar(reescrever(caminho, arquivo, linha));
        }
        return;
      } catch (const LogIlegivel& e) {
        motivo = e.what();
      }
    }

    // The file is there but cannot be read as a log: its lines are kept in a
    // file of their own, and the new log starts with the reason.
    arquivo.Fechar();
    std::string nome;
    try {
      nome = preservar(diretorio, caminho, agora);
    } catch (const std::exception& e) {
      throw std::runtime_error("Erro ao ler Log.txt: " + motivo + "; o arquivo não pôde ser preservado: " + e.what());
    }
    const std::string linha_erro = prefixo_data_hora(agora) + "Erro ao ler Log.txt: " + motivo +
                                   " (arquivo anterior preservado como " + nome + ")" + std::string(fim_de_linha);
    ultimo_estado = EstadoConhecido{caminho, criar(caminho, linha_erro)};
    return;
  }
}

void GravarLogComMotivo(const std::string& linha_fixa, const std::exception& motivo) {
  GravarLog(linha_fixa);
  GravarLog("Motivo: " + EmUmaLinha(motivo.what()));
}
