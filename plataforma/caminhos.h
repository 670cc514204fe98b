// Separator of the parts of a file path on this platform.
#pragma once

extern const char SeparadorCaminho;
