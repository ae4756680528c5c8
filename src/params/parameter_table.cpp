#include "params/parameter_table.h"

namespace mk27x {

ParameterSet DefaultParameterSet() {
    ParameterSet set{};
    for (int i = 0; i < kParameterCount; ++i) set[i] = ParameterTable[i].default_value;
    return set;
}

}  // namespace mk27x
