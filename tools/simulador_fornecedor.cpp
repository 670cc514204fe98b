// Runs the supplier simulator from the command line, for demonstrations:
// prints the port it listens on, answers from the replies given, writes
// every request it receives to a directory, and stops on SIGINT or SIGTERM.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <optional>
#include <pthread.h>
#include <stdexcept>
#include <vector>
#include <string>

#include "tests/support/simulador.h"

namespace {

using lumiford::teste::Resposta;
using lumiford::teste::Simulador;

void Uso() {
  std::cerr << "uso: simulador_fornecedor [--porta N] [--https] [--ca ARQUIVO] [--registro PASTA]\n"
               "                          [--rota CAMINHO STATUS CORPO]... [--padrao STATUS CORPO]\n"
               "  CORPO é o texto da resposta, ou @ARQUIVO para ler a resposta de um arquivo.\n"
               "  --https usa um certificado assinado por uma CA de teste; --ca grava essa CA (PEM).\n";
}

std::string LerCorpo(const std::string& argumento) {
  if (argumento.empty() || argumento[0] != '@') return argumento;
  std::ifstream entrada(argumento.substr(1), std::ios::binary);
  if (!entrada) throw std::runtime_error("não foi possível ler " + argumento.substr(1));
  return std::string((std::istreambuf_iterator<char>(entrada)), std::istreambuf_iterator<char>());
}

Resposta Montar(const std::string& status, const std::string& corpo) {
  const int codigo = std::stoi(status);
  const char* motivo = codigo >= 200 && codigo < 300 ? "OK" : codigo >= 500 ? "Internal Server Error" : "Error";
  return Resposta::Status(codigo, motivo, LerCorpo(corpo));
}

}  // namespace

int main(int argc, char** argv) {
  try {
    std::uint16_t porta = 0;
    bool https = false;
    std::string arquivo_ca, registro;
    std::vector<std::pair<std::string, Resposta>> rotas;
    std::optional<Resposta> padrao;
    for (int i = 1; i < argc; ++i) {
      const std::string arg = argv[i];
      auto proximo = [&]() -> std::string {
        if (i + 1 >= argc) throw std::invalid_argument("falta um valor depois de " + arg);
        return argv[++i];
      };
      if (arg == "--porta") {
        porta = static_cast<std::uint16_t>(std::stoul(proximo()));
      } else if (arg == "--https") {
        https = true;
      } else if (arg == "--ca") {
        arquivo_ca = proximo();
      } else if (arg == "--registro") {
        registro = proximo();
      } else if (arg == "--rota") {
        const std::string caminho = proximo();
        const std::string status = proximo();
        rotas.emplace_back(caminho, Montar(status, proximo()));
      } else if (arg == "--padrao") {
        const std::string status = proximo();
        padrao = Montar(status, proximo());
      } else {
        Uso();
        return 2;
      }
    }

    // The simulator's thread must not take the stop signals: they are waited for here.
    sigset_t sinais;
    sigemptyset(&sinais);
    sigaddset(&sinais, SIGINT);
    sigaddset(&sinais, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &sinais, nullptr);

    Simulador sim(https ? Simulador::Certificado::Confiavel : Simulador::Certificado::Nenhum, porta);
    if (!arquivo_ca.empty()) sim.GravarCa(arquivo_ca);
    for (auto& [caminho, resposta] : rotas) sim.Responder(caminho, std::move(resposta));
    if (padrao) sim.ResponderPadrao(*padrao);
    if (!registro.empty()) {
      auto contador = std::make_shared<int>(0);
      sim.AoReceber([registro, contador](const lumiford::teste::RequisicaoGravada& req) {
        char nome[32];
        std::snprintf(nome, sizeof nome, "/requisicao-%04d.txt", ++*contador);
        std::ofstream(registro + nome, std::ios::binary) << req.bruto;
      });
    }

    std::cout << sim.Porta() << std::endl;
    int sinal = 0;
    sigwait(&sinais, &sinal);
    return 0;
  } catch (const std::exception& erro) {
    std::cerr << "simulador_fornecedor: " << erro.what() << "\n";
    return 1;
  }
}
