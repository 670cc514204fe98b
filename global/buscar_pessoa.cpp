// Kept apart from the pure helpers: this one needs the data module.
#include "dm/udm.h"
#include "global/funcoes.h"

std::int32_t BuscarPessoa(const std::string& cnpj_cpf) {
  Consulta& consulta = dm->FBqrpessoa_cnpj;
  consulta.Close();
  consulta.ParamByName("CNPJ_CPF").AsString(cnpj_cpf);
  consulta.Open();
  if (consulta.Eof()) return 0;
  return static_cast<std::int32_t>(consulta.FieldByName("CADASTRO").AsInteger());
}
