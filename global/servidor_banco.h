// The Servidor setting: the folder of the ERP's databases and files, with,
// in front of it, the Firebird server that opens the databases when one is
// named ("host:", "host/port:", "[IPv6 address]/port:"), as the database
// client reads a database path.
#pragma once

#include <string>

struct LocalBanco {
  std::string servidor;  // "" for a plain path; else what comes before the ':'
  std::string pasta;     // the path on the machine that holds the files
};

// A one-letter prefix is a drive ("C:\ERP"), not a server.
LocalBanco DecomporServidor(const std::string& texto);

// Where the boleto and service-invoice files are read: the folder of
// Servidor on this machine, without the server in front.
std::string PastaArquivosServidor();
