// The real executable, copied into a temporary directory beside its
// lumiford.ini: install and removal into a temporary unit directory, and the
// foreground service with a real embedded database.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <thread>

#include "tests/servico/apoio_processo.h"

namespace {

namespace fs = std::filesystem;
using namespace lumiford::teste;
using namespace std::chrono_literals;

// A datagram socket standing in for systemd's notification socket.
class SoqueteNotificacao {
 public:
  explicit SoqueteNotificacao(const fs::path& caminho) : caminho_(caminho.string()) {
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_un endereco{};
    endereco.sun_family = AF_UNIX;
    std::strncpy(endereco.sun_path, caminho_.c_str(), sizeof endereco.sun_path - 1);
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&endereco), sizeof endereco) != 0)
      throw std::system_error(errno, std::generic_category(), "notify socket");
  }
  ~SoqueteNotificacao() { ::close(fd_); }
  const std::string& Caminho() const { return caminho_; }
  // Every message received so far, in order.
  const std::vector<std::string>& Mensagens() {
    char buffer[4096];
    ssize_t n;
    while ((n = ::recv(fd_, buffer, sizeof buffer, 0)) > 0) mensagens_.emplace_back(buffer, static_cast<std::size_t>(n));
    return mensagens_;
  }
  bool Recebeu(const std::string& trecho) {
    for (const auto& m : Mensagens())
      if (m.find(trecho) != std::string::npos) return true;
    return false;
  }

 private:
  std::string caminho_;
  int fd_ = -1;
  std::vector<std::string> mensagens_;
};

// systemd's manager as the service asks it for the system's state: its
// object with SystemState on a bus of the test's own (a dbus-daemon started
// here), which the service reaches through DBUS_SYSTEM_BUS_ADDRESS.
class GerenteSystemd {
 public:
  explicit GerenteSystemd(const fs::path& pasta) : endereco_("unix:path=" + (pasta / "barramento").string()) {
    std::string argumento = "--address=" + endereco_;
    std::string nome = "dbus-daemon", sessao = "--session", sem_fork = "--nofork", sem_pid = "--nopidfile";
    char* argv[] = {nome.data(), sessao.data(), sem_fork.data(), sem_pid.data(), argumento.data(), nullptr};
    // Its complaints about this machine's limits are no business of the test.
    posix_spawn_file_actions_t acoes;
    posix_spawn_file_actions_init(&acoes);
    posix_spawn_file_actions_addopen(&acoes, 2, "/dev/null", O_WRONLY, 0);
    const int erro = posix_spawnp(&pid_, "dbus-daemon", &acoes, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&acoes);
    if (erro != 0) throw std::runtime_error("dbus-daemon did not start");
    // Connected once the daemon listens.
    const auto fim = std::chrono::steady_clock::now() + 10s;
    for (;;) {
      sd_bus* bus = nullptr;
      if (sd_bus_new(&bus) >= 0 && sd_bus_set_address(bus, endereco_.c_str()) >= 0 &&
          sd_bus_set_bus_client(bus, 1) >= 0 && sd_bus_start(bus) >= 0) {
        bus_ = bus;
        break;
      }
      sd_bus_flush_close_unref(bus);
      if (std::chrono::steady_clock::now() > fim) throw std::runtime_error("dbus-daemon does not answer");
      std::this_thread::sleep_for(20ms);
    }
    if (sd_bus_add_object_vtable(bus_, &objeto_, "/org/freedesktop/systemd1", "org.freedesktop.systemd1.Manager",
                                 kTabela, this) < 0 ||
        sd_bus_request_name(bus_, "org.freedesktop.systemd1", 0) < 0)
      throw std::runtime_error("the manager's object could not be published");
    laco_ = std::thread([this] {
      while (!fim_) {
        while (sd_bus_process(bus_, nullptr) > 0) {
        }
        sd_bus_wait(bus_, 50'000);
      }
    });
  }
  ~GerenteSystemd() {
    fim_ = true;
    laco_.join();
    sd_bus_slot_unref(objeto_);
    sd_bus_flush_close_unref(bus_);
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
  GerenteSystemd(const GerenteSystemd&) = delete;
  GerenteSystemd& operator=(const GerenteSystemd&) = delete;

  void Estado(const std::string& estado) {
    std::lock_guard trava(mutex_);
    estado_ = estado;
  }
  std::string Ambiente() const { return "DBUS_SYSTEM_BUS_ADDRESS=" + endereco_; }

 private:
  static int LerEstado(sd_bus*, const char*, const char*, const char*, sd_bus_message* resposta, void* dados,
                       sd_bus_error*) {
    auto* gerente = static_cast<GerenteSystemd*>(dados);
    std::lock_guard trava(gerente->mutex_);
    return sd_bus_message_append(resposta, "s", gerente->estado_.c_str());
  }
  static constexpr sd_bus_vtable kTabela[] = {
      SD_BUS_VTABLE_START(0),
      SD_BUS_PROPERTY("SystemState", "s", LerEstado, 0, 0),
      SD_BUS_VTABLE_END,
  };

  std::string endereco_;
  pid_t pid_ = -1;
  sd_bus* bus_ = nullptr;
  sd_bus_slot* objeto_ = nullptr;
  std::thread laco_;
  std::atomic<bool> fim_{false};
  std::mutex mutex_;
  std::string estado_ = "running";
};

bool DbusDaemonDisponivel() { return std::system("dbus-daemon --version > /dev/null 2>&1") == 0; }

bool SystemdAnalyzeDisponivel() {
  return std::system("systemd-analyze --version > /dev/null 2>&1") == 0;
}

const char* const Exe = LUMIFORD_EXE;
const char* const ExeTeste = LUMIFORD_EXE_TESTE;

// ---------------------------------------------------------------- install

struct CasoInstalacao {
  std::vector<std::string> instalar, desinstalar;
};

TEST(Instalacao, InstallsAndRemovesTheUnit) {
  const CasoInstalacao casos[] = {
      {{"-install"}, {"-uninstall"}},
      {{"/INSTALL"}, {"/UNINSTALL"}},
      {{"/Install"}, {"/Uninstall"}},
      {{"algo", "-iNsTaLl", "mais"}, {"x", "/uNiNsTaLl"}},
  };
  for (const auto& caso : casos) {
    SCOPED_TRACE(caso.instalar[0]);
    Instalacao inst(Exe);
    inst.Configurar("1", false);
    const fs::path unidade = inst.Unidades() / "lumiford_financeiro_001.service";

    auto r = inst.Rodar(caso.instalar);
    EXPECT_EQ(r.codigo, 0) << r.erros;
    // Where the unit went, and whether it was enabled (never here: no systemd runs the tests).
    EXPECT_EQ(r.saida, "Service installed successfully: " + unidade.string() +
                           ", não habilitado (o systemd não está em execução nesta máquina; depois: systemctl "
                           "daemon-reload e systemctl enable lumiford_financeiro_001)\n");
    EXPECT_EQ(r.erros, "");
    EXPECT_EQ(Ler(unidade),
              "# Lumiford 001 - Financeiro\n"
              "[Unit]\n"
              "Description=Lumiford 001 - Financeiro\n"
              "X-Description=Lumiford Vavevivi - Financeiro\n"
              "Wants=network-online.target\n"
              "After=network-online.target\n"
              "\n"
              "[Service]\n"
              "Type=notify\n"
              "ExecStart=" + inst.Exe() + "\n"
              "Restart=on-failure\n"
              "RestartSec=30\n"
              "TimeoutStopSec=60\n"
              "User=root\n"
              "SyslogIdentifier=lumiford_financeiro_001\n"
              "NoNewPrivileges=yes\n"
              "\n"
              "[Install]\n"
              "WantedBy=multi-user.target\n");
    EXPECT_EQ(Contar(inst.Linhas(), "Service - Installed"), 1u);

    r = inst.Rodar(caso.desinstalar);
    EXPECT_EQ(r.codigo, 0) << r.erros;
    EXPECT_EQ(r.saida, "Service uninstalled successfully\n");
    EXPECT_FALSE(fs::exists(unidade));
    EXPECT_EQ(Contar(inst.Linhas(), "Service - Uninstalled"), 1u);
  }
}

// The settings' likely mistakes come before the install, which goes on as
// before: a typing error in Empresa installs lumiford_financeiro_000.
TEST(Instalacao, WarnsOfTheSettingsLikelyMistakesAndInstallsAllTheSame) {
  Instalacao inst(Exe);
  inst.Configurar("1", false);
  Gravar(inst.Dir() / "lumiford.ini", "[Lumiford]\r\nEmpressa=1\r\nServidor=" + inst.Dados().string() + "\r\n");
  const auto r = inst.Rodar({"/INSTALL"});
  EXPECT_EQ(r.codigo, 0) << r.erros;
  EXPECT_EQ(r.erros,
            "Aviso: chave desconhecida em [Lumiford]: \"Empressa\" (seria Empresa?); não é lida\n"
            "Aviso: Empresa não está em lumiford.ini: o serviço se chamaria lumiford_financeiro_000\n");
  const fs::path unidade = inst.Unidades() / "lumiford_financeiro_000.service";
  EXPECT_TRUE(fs::exists(unidade));
  EXPECT_EQ(r.saida.rfind("Service installed successfully: " + unidade.string() + ", ", 0), 0u) << r.saida;
  // Silent hides the success line, never the warnings.
  EXPECT_EQ(inst.Rodar({"/UNINSTALL", "/SILENT"}).codigo, 0);
  const auto silencioso = inst.Rodar({"/INSTALL", "/SILENT"});
  EXPECT_EQ(silencioso.codigo, 0);
  EXPECT_EQ(silencioso.saida, "");
  EXPECT_EQ(silencioso.erros, r.erros);
}

TEST(Instalacao, SilentHidesSuccessOnlyAndFailuresExitWithOne) {
  Instalacao inst(Exe);
  inst.Configurar("1234", false, "Sim");
  const fs::path unidade = inst.Unidades() / "lumiford_financeiro_1234.service";

  auto r = inst.Rodar({"/install", "/silent"});
  EXPECT_EQ(r.codigo, 0);
  EXPECT_EQ(r.saida, "");
  EXPECT_EQ(r.erros, "");
  ASSERT_TRUE(fs::exists(unidade));
  // In debug mode the naming is logged: name, display name, a line of one blank.
  const auto linhas = inst.Linhas();
  const long nome = Posicao(linhas, "lumiford_financeiro_1234");
  ASSERT_GE(nome, 0);
  ASSERT_LT(nome + 2, static_cast<long>(linhas.size()));
  EXPECT_EQ(linhas[static_cast<std::size_t>(nome) + 1], "Lumiford 1234 - Financeiro");
  EXPECT_EQ(linhas[static_cast<std::size_t>(nome) + 2], " ");
  const std::string unidadeInstalada = Ler(unidade);

  struct Caso {
    std::vector<std::string> argumentos;
    std::string erros;
  };
  const Caso falhas[] = {
      {{"/install", "/silent"},
       "Service \"Lumiford 1234 - Financeiro\" failed to install with error: "
       "\"System Error.  Code: 17.\r\nFile exists\"\n"},
      {{"/install"},
       "Service \"Lumiford 1234 - Financeiro\" failed to install with error: "
       "\"System Error.  Code: 17.\r\nFile exists\"\n"},
  };
  for (const auto& caso : falhas) {
    r = inst.Rodar(caso.argumentos);
    EXPECT_EQ(r.codigo, 1);
    EXPECT_EQ(r.saida, "");
    EXPECT_EQ(r.erros, caso.erros);
  }
  EXPECT_EQ(Ler(unidade), unidadeInstalada);

  r = inst.Rodar({"-uninstall", "-silent"});
  EXPECT_EQ(r.codigo, 0);
  EXPECT_EQ(r.saida, "");
  EXPECT_FALSE(fs::exists(unidade));

  r = inst.Rodar({"-uninstall", "-silent"});
  EXPECT_EQ(r.codigo, 1);
  EXPECT_EQ(r.saida, "");
  EXPECT_EQ(r.erros,
            "Service \"Lumiford 1234 - Financeiro\" failed to uninstall with error: "
            "\"System Error.  Code: 2.\r\nNo such file or directory\"\n");
  EXPECT_EQ(Contar(inst.Linhas(), "Service - Installed"), 1u);
  EXPECT_EQ(Contar(inst.Linhas(), "Service - Uninstalled"), 1u);
}

// With debug on, reading the settings itself fails (its banner cannot be
// logged): the service is still named after the company code it read.
TEST(Instalacao, LogThatCannotBeWrittenRollsTheInstallBack) {
  for (const std::string debug : {"", "Sim"}) {
    SCOPED_TRACE("Debug=" + debug);
    Instalacao inst(Exe);
    inst.Configurar("1", false, debug);
    fs::create_directory(inst.Log());  // a directory where Log.txt should be
    auto r = inst.Rodar({"/install", "/silent"});
    EXPECT_EQ(r.codigo, 1);
    EXPECT_EQ(r.saida, "");
    // The data module's log line failed before, and went to the event log.
    EXPECT_NE(r.erros.find("\nService \"Lumiford 001 - Financeiro\" failed to install with error: \""),
              std::string::npos)
        << r.erros;
    EXPECT_TRUE(fs::is_empty(inst.Unidades()));
  }
}

// Removing the unit of a service that runs leaves the process running: the
// operator is told so, and how to stop it, also with SILENT; the command
// given does stop it.
TEST(Instalacao, UninstallOfARunningServiceSaysHowToStopIt) {
  for (const bool silencioso : {false, true}) {
    SCOPED_TRACE(silencioso ? "silent" : "not silent");
    Instalacao inst(Exe);
    inst.Configurar("1", false);
    auto r = inst.Rodar({"/INSTALL", "/SILENT"});
    ASSERT_EQ(r.codigo, 0) << r.erros;
    auto servico = inst.Iniciar({});
    ASSERT_TRUE(Aguardar([&] { return Contar(inst.Linhas(), "Service - Start") == 1; })) << servico->Erros();

    r = silencioso ? inst.Rodar({"/UNINSTALL", "/SILENT"}) : inst.Rodar({"/UNINSTALL"});
    EXPECT_EQ(r.codigo, 0) << r.erros;
    EXPECT_EQ(r.saida, silencioso ? "" : "Service uninstalled successfully\n");
    const std::string comando = "kill -TERM " + std::to_string(servico->Pid());
    EXPECT_EQ(r.erros, "Service \"Lumiford 001 - Financeiro\" is still running: stop it with \"" + comando + "\"\n");
    EXPECT_FALSE(fs::exists(inst.Unidades() / "lumiford_financeiro_001.service"));
    ASSERT_TRUE(servico->Vivo());

    EXPECT_EQ(std::system(comando.c_str()), 0);
    EXPECT_EQ(servico->Esperar(), 0);
    EXPECT_EQ(Contar(inst.Linhas(), "Service - Stop"), 1u);
  }
}

// With and without the Firebird server's unit beside it (the machine's
// server, which the service starts after).
TEST(Instalacao, SystemdAcceptsTheUnit) {
  if (!SystemdAnalyzeDisponivel()) GTEST_SKIP() << "systemd-analyze is not available here";
  for (const bool servidor : {false, true}) {
    SCOPED_TRACE(servidor ? "with firebird3.0.service" : "without a Firebird server");
    // A blank in the directory makes the command line need quoting.
    Instalacao inst(Exe, "pasta com espaco");
    inst.Configurar("7", false);
    if (servidor)
      Gravar(inst.Unidades() / "firebird3.0.service",
             "[Unit]\nDescription=Firebird\n\n[Service]\nType=forking\nExecStart=/bin/true\n");
    auto r = inst.Rodar({"-install"});
    ASSERT_EQ(r.codigo, 0) << r.erros;
    const fs::path unidade = inst.Unidades() / "lumiford_financeiro_007.service";
    const std::string texto = Ler(unidade);
    EXPECT_NE(texto.find(servidor ? "\nAfter=network-online.target firebird3.0.service\n"
                                  : "\nAfter=network-online.target\n"),
              std::string::npos)
        << texto;
    // systemctl status names the company.
    EXPECT_NE(texto.find("\nDescription=Lumiford 007 - Financeiro\n"), std::string::npos) << texto;
    EXPECT_NE(texto.find("\nSyslogIdentifier=lumiford_financeiro_007\n"), std::string::npos) << texto;
    const fs::path relatorio = inst.Temp() / "verify.txt";
    const std::string comando =
        "systemd-analyze verify '" + unidade.string() + "' > '" + relatorio.string() + "' 2>&1";
    const int resultado = std::system(comando.c_str());
    EXPECT_EQ(resultado, 0) << Ler(relatorio);
    EXPECT_EQ(Ler(relatorio), "");
  }
}

// The unit asks for no new privileges: the service runs the same with the
// kernel's no_new_privs flag set, as systemd sets it.
TEST(ModoServico, RunsWithNoNewPrivileges) {
  if (std::system("setpriv --version > /dev/null 2>&1") != 0) GTEST_SKIP() << "setpriv is not available here";
  Instalacao inst(ExeTeste);
  inst.Configurar("1");
  inst.Sql("INSERT INTO CAD_EMPRESA (CADASTRO, INTERVALO_REC_FINANCEIRO, USA_INTEGRACAO_API_FINANCEIRO) "
           "VALUES (1, 0.001, '2')");
  const fs::path saidas = inst.Temp() / "sem_privilegios";
  fs::create_directories(saidas);
  // The shell checks that the flag is set before it becomes the service.
  Processo servico("/usr/bin/setpriv",
                   {"--no-new-privs", "/bin/sh", "-c",
                    "grep -q '^NoNewPrivs:[[:space:]]*1$' /proc/self/status || exit 99; exec \"$0\"", inst.Exe()},
                   {"LUMIFORD_UNIT_DIR=" + inst.Unidades().string()}, saidas);
  ASSERT_TRUE(Aguardar([&] { return Contar(inst.Linhas(), "Fluxo de teste Timer: fim") >= 2 || !servico.Vivo(); }))
      << servico.Erros();
  ASSERT_TRUE(servico.Vivo()) << "ended with " << servico.Esperar().value_or(-1) << ": " << servico.Erros();
  EXPECT_EQ(Contar(inst.Linhas(), "Fluxo de teste Requisicao"), 1u);
  servico.Sinal(SIGTERM);
  EXPECT_EQ(servico.Esperar(), 0);
  EXPECT_EQ(Contar(inst.Linhas(), "Service - Stop"), 1u);
  EXPECT_EQ(servico.Erros(), "");
}

// ---------------------------------------------------------------- service mode

TEST(ModoServico, WithoutSettingsItIsCompanyZeroAndDoesNothing) {
  Instalacao inst(Exe);
  auto r = inst.Rodar({"/install"});
  EXPECT_EQ(r.codigo, 0) << r.erros;
  EXPECT_TRUE(fs::exists(inst.Unidades() / "lumiford_financeiro_000.service"));
  fs::remove(inst.Log());

  auto servico = inst.Iniciar({});
  ASSERT_TRUE(Aguardar([&] { return Contar(inst.Linhas(), "Service - Start") == 1; }));
  std::this_thread::sleep_for(1500ms);  // past the first timer tick, had a timer been armed
  servico->Sinal(SIGTERM);
  EXPECT_EQ(servico->Esperar(), 0);

  const auto linhas = inst.Linhas();
  ASSERT_GE(linhas.size(), 6u);
  EXPECT_EQ(linhas[0], "Arquivo lumiford.ini não encontrado.");
  EXPECT_EQ(linhas[1], "Erro ao conectar na Base de Dados:");
  EXPECT_EQ(Contar(linhas, "Arquivo lumiford.ini não encontrado."), 2u);
  EXPECT_EQ(linhas[linhas.size() - 2], "Service - Start");
  EXPECT_EQ(linhas.back(), "Service - Stop");
  EXPECT_TRUE(fs::is_directory(inst.Dir() / "Req"));
}

// The foreground service with a database whose company has the integration
// on and a Timer interval of 60 ms.
class ServicoComBanco : public ::testing::Test {
 protected:
  void SetUp() override {
    inst.Configurar("1");
    inst.Sql("INSERT INTO CAD_EMPRESA (CADASTRO, INTERVALO_REC_FINANCEIRO, USA_INTEGRACAO_API_FINANCEIRO) "
             "VALUES (1, 0.001, '2')");
  }
  std::size_t ContarDesde(const std::string& mensagem, long desde) {
    const auto linhas = inst.Linhas();
    std::size_t n = 0;
    for (std::size_t i = static_cast<std::size_t>(std::max(desde, 0L)); i < linhas.size(); ++i) n += linhas[i] == mensagem;
    return n;
  }
  Instalacao inst{ExeTeste};
};

TEST_F(ServicoComBanco, LifecycleLinesInOrderAndPauseKeepsTheTimersRunning) {
  SoqueteNotificacao notificacao(inst.Temp() / "notify");
  auto servico = inst.Iniciar({}, {"NOTIFY_SOCKET=" + notificacao.Caminho()});
  ASSERT_TRUE(Aguardar([&] { return ContarDesde("Fluxo de teste Timer: fim", 0) >= 2; })) << servico->Erros();
  EXPECT_TRUE(notificacao.Recebeu("READY=1"));

  const auto informados = [&](const char* estado) {
    const auto& m = notificacao.Mensagens();
    return std::count_if(m.begin(), m.end(), [&](const std::string& t) { return t.find(estado) != std::string::npos; });
  };
  servico->Sinal(SIGUSR1);
  ASSERT_TRUE(Aguardar([&] { return Posicao(inst.Linhas(), "Service - Pause") >= 0; }));
  const long pausa = Posicao(inst.Linhas(), "Service - Pause");
  ASSERT_TRUE(Aguardar([&] { return ContarDesde("Fluxo de teste Timer: fim", pausa) >= 3; }));
  EXPECT_TRUE(Aguardar([&] { return informados("STATUS=Paused") == 1; }));
  // Asked again, the state is reported again, and a line says which.
  servico->Sinal(SIGHUP);
  ASSERT_TRUE(Aguardar([&] { return Posicao(inst.Linhas(), "Service - Status: Paused") >= 0; }));
  EXPECT_TRUE(Aguardar([&] { return informados("STATUS=Paused") == 2; }));

  servico->Sinal(SIGUSR2);
  ASSERT_TRUE(Aguardar([&] { return Posicao(inst.Linhas(), "Service - Continue") >= 0; }));
  ASSERT_TRUE(Aguardar([&] { return informados("STATUS=Running") == 2; }));
  servico->Sinal(SIGHUP);
  ASSERT_TRUE(Aguardar([&] { return Posicao(inst.Linhas(), "Service - Status: Running") >= 0; }));
  EXPECT_TRUE(Aguardar([&] { return informados("STATUS=Running") == 3; }));
  servico->Sinal(SIGTERM);
  EXPECT_EQ(servico->Esperar(), 0);

  const auto linhas = inst.Linhas();
  const long inicio = Posicao(linhas, "Service - Start");
  const long pausado = Posicao(linhas, "Service - Status: Paused");
  const long continua = Posicao(linhas, "Service - Continue");
  const long rodando = Posicao(linhas, "Service - Status: Running");
  const long parada = Posicao(linhas, "Service - Stop");
  EXPECT_TRUE(inicio >= 0 && inicio < pausa && pausa < pausado && pausado < continua && continua < rodando &&
              rodando < parada)
      << ::testing::PrintToString(linhas);
  EXPECT_EQ(Contar(linhas, "Service - Status: Paused"), 1u);
  EXPECT_EQ(Contar(linhas, "Service - Status: Running"), 1u);
  // Debug is off: no naming lines.
  EXPECT_EQ(Posicao(linhas, "lumiford_financeiro_001"), -1);
  // Timer_Requisicao ran at its first tick and waits five minutes for the next.
  EXPECT_EQ(Contar(linhas, "Fluxo de teste Requisicao"), 1u);
  EXPECT_EQ(Contar(linhas, "Service - Pause"), 1u);
  const auto& mensagens = notificacao.Mensagens();
  ASSERT_FALSE(mensagens.empty());
  EXPECT_NE(mensagens.front().find("READY=1"), std::string::npos);
  EXPECT_NE(mensagens.back().find("STOPPING=1"), std::string::npos);
}

TEST_F(ServicoComBanco, StopDuringALongHandlerWaitsForIt) {
  SoqueteNotificacao notificacao(inst.Temp() / "notify");
  auto servico = inst.Iniciar({}, {"NOTIFY_SOCKET=" + notificacao.Caminho(), "LUMIFORD_TESTE_FLUXO_MS=1500"});
  ASSERT_TRUE(Aguardar([&] { return Posicao(inst.Linhas(), "Fluxo de teste Timer: inicio") >= 0; }));
  servico->Sinal(SIGTERM);
  // The stop is reported at once, while the handler is still running.
  ASSERT_TRUE(Aguardar([&] { return notificacao.Recebeu("STOPPING=1"); }, 1000ms));
  EXPECT_TRUE(servico->Vivo());
  EXPECT_EQ(servico->Esperar(), 0);

  const auto linhas = inst.Linhas();
  const long inicio = Posicao(linhas, "Fluxo de teste Timer: inicio");
  const long parada = Posicao(linhas, "Service - Stop");
  const long fim = Posicao(linhas, "Fluxo de teste Timer: fim");
  EXPECT_TRUE(inicio < parada && parada < fim) << inicio << " " << parada << " " << fim;
  EXPECT_EQ(Contar(linhas, "Fluxo de teste Timer: inicio"), 1u);
  EXPECT_EQ(fim, static_cast<long>(linhas.size()) - 1) << ::testing::PrintToString(linhas);
}

// A stop while systemd's manager is stopping the whole system is a shutdown.
TEST_F(ServicoComBanco, StopWhileTheSystemGoesDownIsLoggedAsAShutdown) {
  if (!DbusDaemonDisponivel()) GTEST_SKIP() << "dbus-daemon is not available here";
  GerenteSystemd gerente(inst.Temp());
  struct Caso {
    const char* estado;
    const char* linha;
  };
  const Caso casos[] = {{"stopping", "Service - Shutdown"}, {"running", "Service - Stop"}, {"degraded", "Service - Stop"}};
  for (const auto& caso : casos) {
    SCOPED_TRACE(caso.estado);
    fs::remove(inst.Log());
    gerente.Estado(caso.estado);
    auto servico = inst.Iniciar({}, {gerente.Ambiente()});
    ASSERT_TRUE(Aguardar([&] { return Contar(inst.Linhas(), "Service - Start") == 1; })) << servico->Erros();
    servico->Sinal(SIGTERM);
    EXPECT_EQ(servico->Esperar(), 0);
    const auto linhas = inst.Linhas();
    EXPECT_EQ(Contar(linhas, caso.linha), 1u) << ::testing::PrintToString(linhas);
    EXPECT_EQ(Contar(linhas, "Service - Shutdown") + Contar(linhas, "Service - Stop"), 1u);
    EXPECT_EQ(servico->Erros(), "");
  }
}

// A status report systemd refuses is recorded with the system's reason, once
// for each reason in a row, however often the state is reported.
TEST_F(ServicoComBanco, StatusReportsThatSystemdRefusesGoToTheEventLogOnce) {
  const fs::path soquete = inst.Temp() / "notificacao";
  auto servico = inst.Iniciar({}, {"NOTIFY_SOCKET=" + soquete.string()});
  ASSERT_TRUE(Aguardar([&] { return Contar(inst.Linhas(), "Service - Start") == 1; })) << servico->Erros();
  const auto vezes = [&](const std::string& trecho) {
    const std::string erros = servico->Erros();
    std::size_t n = 0;
    for (auto pos = erros.find(trecho); pos != std::string::npos; pos = erros.find(trecho, pos + 1)) ++n;
    return n;
  };
  const std::string ausente = "lumiford_financeiro_001: No such file or directory\n";
  ASSERT_TRUE(Aguardar([&] { return vezes(ausente) == 1; })) << servico->Erros();
  for (int i = 0; i < 2; ++i) {
    servico->Sinal(SIGHUP);
    std::this_thread::sleep_for(300ms);
  }
  EXPECT_EQ(vezes(ausente), 1u) << servico->Erros();

  // A file where the socket should be: refused for another reason.
  Gravar(soquete, "");
  const std::string recusada = "lumiford_financeiro_001: Connection refused\n";
  for (int i = 0; i < 3; ++i) {
    servico->Sinal(SIGHUP);
    std::this_thread::sleep_for(300ms);
  }
  EXPECT_TRUE(Aguardar([&] { return vezes(recusada) == 1; })) << servico->Erros();
  servico->Sinal(SIGTERM);
  EXPECT_EQ(servico->Esperar(), 0);
  EXPECT_EQ(vezes(ausente), 1u) << servico->Erros();
  EXPECT_EQ(vezes(recusada), 1u) << servico->Erros();
  EXPECT_EQ(Contar(inst.Linhas(), "Service - Stop"), 1u);
}

// An error that leaves a flow is written once wherever it goes. Started by
// systemd, standard error is the journal's stream (JOURNAL_STREAM names its
// device and inode) and syslog would reach the journal too: the error goes
// there once, with the error priority in front, on one line. Started by hand
// (no stream named, or another one inherited), standard error has it as it is.
TEST_F(ServicoComBanco, ErrorsReachTheJournalOnceWithTheirPriority) {
  struct Caso {
    const char* nome;
    const char* preparo;  // shell lines run before the service replaces the shell
    const char* erros;
  };
  const Caso casos[] = {
      {"by hand", "unset JOURNAL_STREAM",
       "lumiford_financeiro: Falha de teste.\r\nSegunda linha\n"},
      {"by systemd", "export JOURNAL_STREAM=$(stat -L -c %d:%i /proc/self/fd/2)",
       "<3>lumiford_financeiro: Falha de teste. Segunda linha\n"},
      {"another stream inherited", "export JOURNAL_STREAM=$(stat -L -c %d:%i /dev/null)",
       "lumiford_financeiro: Falha de teste.\r\nSegunda linha\n"},
      {"a stream named badly", "export JOURNAL_STREAM=x:y",
       "lumiford_financeiro: Falha de teste.\r\nSegunda linha\n"},
  };
  int n = 0;
  for (const auto& caso : casos) {
    SCOPED_TRACE(caso.nome);
    fs::remove(inst.Log());
    const fs::path saidas = inst.Temp() / ("journal" + std::to_string(++n));
    fs::create_directories(saidas);
    Processo servico("/bin/sh", {"-c", std::string(caso.preparo) + "; exec \"$0\"", inst.Exe()},
                     {"LUMIFORD_UNIT_DIR=" + inst.Unidades().string(),
                      "LUMIFORD_TESTE_ERRO=Falha de teste.\r\nSegunda linha"},
                     saidas);
    ASSERT_TRUE(Aguardar([&] { return Contar(inst.Linhas(), "Fluxo de teste Requisicao") == 1; })) << servico.Erros();
    // A Timer run after it shows the error was written: both run on one thread.
    ASSERT_TRUE(Aguardar([&] {
      return ContarDesde("Fluxo de teste Timer: fim", Posicao(inst.Linhas(), "Fluxo de teste Requisicao")) >= 1;
    }));
    servico.Sinal(SIGTERM);
    EXPECT_EQ(servico.Esperar(), 0);
    EXPECT_EQ(servico.Erros(), caso.erros);
  }
}

TEST(ModoServico, StartThatCannotLogFailsTheServiceUnderItsName) {
  for (const std::string debug : {"", "Sim"}) {
    SCOPED_TRACE("Debug=" + debug);
    Instalacao inst(ExeTeste);
    inst.Configurar("1", true, debug);
    fs::create_directory(inst.Log());
    auto servico = inst.Iniciar({});
    EXPECT_EQ(servico->Esperar(), 1);
    const std::string erros = servico->Erros();
    EXPECT_NE(erros.find("lumiford_financeiro_001: Service failed on start: "), std::string::npos) << erros;
  }
}

// The retries: every 100 ms, and once after more than a minute without any
// connection, when the client library has unloaded the engine and must load
// it again.
TEST(Reconexao, ServiceStartedBeforeItsDatabaseWorksOnceItAppears) {
  struct Caso {
    const char* nome;
    const char* intervalo_ms;
    std::chrono::milliseconds antes;  // the database still away
    std::chrono::milliseconds limite;
  };
  const Caso casos[] = {
      {"retries every 100 ms", "100", 1500ms, 20s},
      {"one retry after 70 s", "70000", 0ms, 120s},
  };
  for (const auto& caso : casos) {
    SCOPED_TRACE(caso.nome);
    Instalacao inst(ExeTeste);
    inst.Configurar("1", false);
    // Prepared aside before the service starts: this process then has no
    // need of a database engine after the wait.
    const fs::path preparo = inst.Temp() / "preparo";
    auto bancos = lumiford::teste::CopiarBancos(preparo.string());
    lumiford::teste::ExecutarSQL(bancos.dados,
        "INSERT INTO CAD_EMPRESA (CADASTRO, INTERVALO_REC_FINANCEIRO, USA_INTEGRACAO_API_FINANCEIRO) VALUES (1, 0.001, '2')");
    auto servico = inst.Iniciar({}, {std::string("LUMIFORD_RECONEXAO_MS=") + caso.intervalo_ms});
    ASSERT_TRUE(Aguardar([&] { return Contar(inst.Linhas(), "Erro ao conectar na Base de Dados:") == 1; }));
    std::this_thread::sleep_for(caso.antes);  // retries, all failing the same way
    EXPECT_EQ(Contar(inst.Linhas(), "Erro ao conectar na Base de Dados:"), 1u);
    EXPECT_EQ(Posicao(inst.Linhas(), "Fluxo de teste Timer: inicio"), -1);

    // The databases appear whole: moved in.
    fs::rename(bancos.historico, inst.Dir() / "dados" / "HISTORICO_SISTEMA.FDB");
    fs::rename(bancos.dados, inst.Dir() / "dados" / "DADOS.FDB");

    ASSERT_TRUE(Aguardar([&] { return Posicao(inst.Linhas(), "Fluxo de teste Timer: fim") >= 0; }, caso.limite))
        << servico->Erros();
    servico->Sinal(SIGTERM);
    EXPECT_EQ(servico->Esperar(), 0);
    const auto linhas = inst.Linhas();
    const long volta = Posicao(linhas, "Conexão com a Base de Dados restabelecida.");
    EXPECT_GE(volta, 0);
    EXPECT_LT(volta, Posicao(linhas, "Fluxo de teste Timer: inicio"));
    EXPECT_EQ(Contar(linhas, "Conexão com a Base de Dados restabelecida."), 1u);
    EXPECT_EQ(Contar(linhas, "Erro ao conectar na Base de Dados:"), 1u);
    EXPECT_EQ(servico->Erros(), "");
  }
}

}  // namespace
