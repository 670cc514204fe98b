#include "plataforma/mensagens.h"

#include <iostream>

void MostrarInformacao(const std::string& texto) { std::cout << texto << std::endl; }

void MostrarErro(const std::string& texto) { std::cerr << texto << std::endl; }

void MostrarAviso(const std::string& texto) { std::cerr << texto << std::endl; }
