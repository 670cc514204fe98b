// Log.txt beside the executable: the operator's view of what the service does.
#pragma once

#include <string>

// Adds one line for the message; throws when the file cannot be written.
void GravarLog(const std::string& mensagem);
