#include "plataforma/caminhos.h"

const char SeparadorCaminho = '\\';
