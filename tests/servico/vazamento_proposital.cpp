// A program that loses one allocation and exits with code 3: what a leak in
// the executable looks like to the tests that start it.
#include <cstdlib>

namespace {
void* volatile perdido = nullptr;
}

int main() {
  perdido = std::malloc(64);
  perdido = nullptr;
  return 3;
}
