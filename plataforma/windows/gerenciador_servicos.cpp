#include "plataforma/gerenciador_servicos.h"

#include <windows.h>

#include <memory>
#include <string>
#include <type_traits>

#include "plataforma/windows/texto.h"

using lumiford::windows::Largo;

namespace {

// The system's message for the code, without its closing line break.
std::string MensagemSistema(int codigo) {
  LPWSTR texto = nullptr;
  const DWORD n = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
      static_cast<DWORD>(codigo), 0, reinterpret_cast<LPWSTR>(&texto), 0, nullptr);
  std::wstring mensagem = n && texto ? std::wstring(texto, n) : std::wstring();
  if (texto) ::LocalFree(texto);
  while (!mensagem.empty() && (mensagem.back() == L'\r' || mensagem.back() == L'\n' || mensagem.back() == L' '))
    mensagem.pop_back();
  return lumiford::windows::Utf8(mensagem);
}

[[noreturn]] void Falhar() { throw ErroSistema(static_cast<int>(::GetLastError())); }

struct FecharServico {
  void operator()(SC_HANDLE h) const { ::CloseServiceHandle(h); }
};
using Servico = std::unique_ptr<std::remove_pointer_t<SC_HANDLE>, FecharServico>;

}  // namespace

ErroSistema::ErroSistema(int codigo, const std::string& mensagem)
    : std::runtime_error("System Error.  Code: " + std::to_string(codigo) + ".\r\n" + mensagem),
      codigo_(codigo) {}

ErroSistema::ErroSistema(int codigo) : ErroSistema(codigo, MensagemSistema(codigo)) {}

struct GerenciadorServicos::Impl {
  Servico gerenciador;
};

GerenciadorServicos::GerenciadorServicos() : impl_(std::make_unique<Impl>()) {
  impl_->gerenciador.reset(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!impl_->gerenciador) Falhar();
}

GerenciadorServicos::~GerenciadorServicos() = default;

void GerenciadorServicos::CriarServico(const RegistroServico& registro) {
  // The path as the process sees it; quoted only when it holds a blank, or
  // the service manager would try each shorter path up to the blank first.
  std::wstring executavel = Largo(registro.Executavel);
  if (executavel.find(L' ') != std::wstring::npos) executavel = L"\"" + executavel + L"\"";
  Servico servico(::CreateServiceW(impl_->gerenciador.get(), Largo(registro.Nome).c_str(),
                                   Largo(registro.NomeExibicao).c_str(), SERVICE_ALL_ACCESS,
                                   SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                   executavel.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
  if (!servico) Falhar();
}

void GerenciadorServicos::ExcluirServico(const std::string& nome) {
  Servico servico(::OpenServiceW(impl_->gerenciador.get(), Largo(nome).c_str(), SERVICE_ALL_ACCESS));
  if (!servico) Falhar();
  if (!::DeleteService(servico.get())) Falhar();
}

bool GerenciadorServicos::GravarDescricao(const std::string& nome, const std::string& descricao) {
  const std::wstring chave = L"SYSTEM\\CurrentControlSet\\Services\\" + Largo(nome);
  HKEY aberta = nullptr;
  // Read and write (0x2001F); a key that is not there is not created.
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, chave.c_str(), 0, KEY_READ | KEY_WRITE, &aberta) != ERROR_SUCCESS)
    return false;
  const std::wstring valor = Largo(descricao);
  const LSTATUS resultado =
      ::RegSetValueExW(aberta, L"Description", 0, REG_SZ, reinterpret_cast<const BYTE*>(valor.c_str()),
                       static_cast<DWORD>((valor.size() + 1) * sizeof(wchar_t)));
  ::RegCloseKey(aberta);
  if (resultado != ERROR_SUCCESS) throw ErroSistema(static_cast<int>(resultado));
  return true;
}

// The service manager knows the state of its own services; a copy of the
// program started by hand is not looked for here.
std::string GerenciadorServicos::ComandoParada(const std::string& nome, const std::string&) {
  try {
    Servico servico(::OpenServiceW(impl_->gerenciador.get(), Largo(nome).c_str(), SERVICE_QUERY_STATUS));
    if (!servico) return "";
    SERVICE_STATUS estado{};
    if (!::QueryServiceStatus(servico.get(), &estado) || estado.dwCurrentState == SERVICE_STOPPED) return "";
    return "net stop " + nome;
  } catch (...) {
    return "";
  }
}

std::string GerenciadorServicos::LocalRegistro(const std::string& nome) const {
  return "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\" + nome;
}

// Registered for automatic start.
bool GerenciadorServicos::IniciaComSistema() const { return true; }
