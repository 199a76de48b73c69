// The sensors' register tables and bring-up sequences, as constant data. The sources beside this header
// are written by gen_tables.py (rerun it after changing a table there; the build does not need Python).
#pragma once

#include <cstddef>
#include <vector>

#include "zelvan/Register.h"

namespace zelvan {

// IMX636-family event sensor (event cameras and the fusion camera's event sensor).
extern const RegisterInfo kImx636RegisterTable[];
extern const size_t kImx636RegisterTableSize;
inline constexpr const char* kImx636RegisterPrefix = "PSEE/IMX636/";

// GenX320 event sensor.
extern const RegisterInfo kGenx320RegisterTable[];
extern const size_t kGenx320RegisterTableSize;
inline constexpr const char* kGenx320RegisterPrefix = "PSEE/GENX320/";

// The fusion camera's board controller (frame sensor and board registers).
extern const RegisterInfo kFusionBoardRegisterTable[];
extern const size_t kFusionBoardRegisterTableSize;
inline constexpr const char* kFusionBoardRegisterPrefix = " ";

// Bring-up sequences.
const std::vector<RegisterOperation>& imx636StandbySequence();
const std::vector<RegisterOperation>& imx636PowerUpSequence();
const std::vector<RegisterOperation>& imx636ConfigurationSequence();
const std::vector<RegisterOperation>& imx636StartSequence();
const std::vector<RegisterOperation>& genx320StandbySequence();
const std::vector<RegisterOperation>& genx320ConfigurationSequence();

}  // namespace zelvan
