#include "api/http.h"
TIdHTTP::TIdHTTP() = default;
TIdHTTP::~TIdHTTP() = default;
