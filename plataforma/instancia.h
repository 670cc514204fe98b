// One running copy per installation: an exclusive lock on a file of the
// installation's folder, held for the whole life of the process. The system
// drops it when the process ends, however it ends, so a copy that was killed
// never keeps the next one from starting.
#pragma once

#include <optional>
#include <string>

class TravaInstancia {
 public:
  TravaInstancia(TravaInstancia&& outra) noexcept;
  TravaInstancia& operator=(TravaInstancia&& outra) noexcept;
  TravaInstancia(const TravaInstancia&) = delete;
  TravaInstancia& operator=(const TravaInstancia&) = delete;
  ~TravaInstancia();

  // Takes the lock on the file at the path (created when missing) without
  // waiting, and writes this process's id into it. Empty when another
  // process holds it. Throws std::system_error when the file cannot be
  // opened or locked at all.
  static std::optional<TravaInstancia> Tomar(const std::string& caminho);

  // The process id the holder wrote into the file; empty when unknown.
  static std::string Dono(const std::string& caminho);

 private:
  explicit TravaInstancia(intptr_t descritor);
  intptr_t descritor_ = -1;
};
