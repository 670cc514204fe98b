// A program started by a test keeps its own exit code under the leak
// checker, and the checker's report fails the test on its own.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include "tests/servico/apoio_processo.h"

namespace lumiford::teste {
namespace {

std::optional<int> codigo_do_vazamento;

void RodarVazamento() {
  PastaTemporaria pasta("lumiford-vazamento");
  Processo processo(LUMIFORD_VAZAMENTO, {}, {}, pasta.caminho());
  codigo_do_vazamento = processo.Esperar();
}

TEST(RelatorioDoSanitizador, LeakFailsTheTestAndTheExitCodeStaysTheProgramsOwn) {
  if (!LUMIFORD_SANITIZADO) GTEST_SKIP() << "built without the sanitizers";
  EXPECT_NONFATAL_FAILURE(RodarVazamento(), "LeakSanitizer");
  ASSERT_TRUE(codigo_do_vazamento.has_value());
  EXPECT_EQ(*codigo_do_vazamento, 3);
}

}  // namespace
}  // namespace lumiford::teste
