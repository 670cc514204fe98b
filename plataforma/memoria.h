// Giving memory back to the operating system between timer runs.
#pragma once

// Trims the process's memory: after every timer run and at process end.
// Any error is swallowed.
void LiberarMemoria() noexcept;
