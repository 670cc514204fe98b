#include "global/datas.h"

#include <cstdio>
#include <mutex>
#include <utility>

#include "plataforma/relogio.h"

namespace {

std::mutex mutex_relogio;
std::function<DataHora()> relogio_substituto;

// Leading zeros to the given width; no locale is involved.
void acrescentar_numero(std::string& destino, long long valor, int largura) {
  char buffer[32];
  const int n = std::snprintf(buffer, sizeof buffer, "%0*lld", largura, valor);
  destino.append(buffer, static_cast<std::size_t>(n));
}

}  // namespace

DataHora Agora() {
  std::function<DataHora()> relogio;
  {
    std::lock_guard trava(mutex_relogio);
    relogio = relogio_substituto;
  }
  return relogio ? relogio() : RelogioLocal();
}

void DefinirRelogio(std::function<DataHora()> relogio) {
  std::lock_guard trava(mutex_relogio);
  relogio_substituto = std::move(relogio);
}

Data DataDe(DataHora valor) {
  return Data{std::chrono::floor<std::chrono::days>(valor)};
}

DataHora InicioDoDia(Data data) {
  return DataHora{std::chrono::local_days{data}};
}

std::chrono::year_month MesAnterior(Data data) {
  return std::chrono::year_month{data.year(), data.month()} - std::chrono::months{1};
}

std::string FormatarData(Data data) {
  std::string texto;
  acrescentar_numero(texto, static_cast<unsigned>(data.day()), 2);
  texto += '/';
  acrescentar_numero(texto, static_cast<unsigned>(data.month()), 2);
  texto += '/';
  acrescentar_numero(texto, static_cast<int>(data.year()), 4);
  return texto;
}

std::string FormatarHora(DataHora valor) {
  const auto dia = std::chrono::floor<std::chrono::days>(valor);
  const std::chrono::hh_mm_ss hora{std::chrono::floor<std::chrono::seconds>(valor - dia)};
  std::string texto;
  acrescentar_numero(texto, hora.hours().count(), 2);
  texto += ':';
  acrescentar_numero(texto, hora.minutes().count(), 2);
  texto += ':';
  acrescentar_numero(texto, hora.seconds().count(), 2);
  return texto;
}

std::string FormatarDataHora(DataHora valor) {
  std::string texto = FormatarData(DataDe(valor));
  if (valor != InicioDoDia(DataDe(valor))) texto += ' ' + FormatarHora(valor);
  return texto;
}

std::optional<Data> LerData(const std::string& texto) {
  // d/m/yyyy with one or two digits for day and month and four for the year.
  int partes[3] = {0, 0, 0};
  const std::size_t maximos[3] = {2, 2, 4};
  const std::size_t minimos[3] = {1, 1, 4};
  std::size_t i = 0;
  for (int parte = 0; parte < 3; ++parte) {
    std::size_t digitos = 0;
    while (i < texto.size() && texto[i] >= '0' && texto[i] <= '9') {
      if (++digitos > maximos[parte]) return std::nullopt;
      partes[parte] = partes[parte] * 10 + (texto[i] - '0');
      ++i;
    }
    if (digitos < minimos[parte]) return std::nullopt;
    if (parte < 2) {
      if (i >= texto.size() || texto[i] != '/') return std::nullopt;
      ++i;
    }
  }
  if (i != texto.size() || partes[2] < 1) return std::nullopt;
  const Data data{std::chrono::year{partes[2]}, std::chrono::month{static_cast<unsigned>(partes[1])},
                  std::chrono::day{static_cast<unsigned>(partes[0])}};
  if (!data.ok()) return std::nullopt;
  return data;
}
