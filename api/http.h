// Placeholder: the HTTP client of the data module (being built).
#pragma once

class TIdHTTP {
 public:
  TIdHTTP();
  ~TIdHTTP();
};
