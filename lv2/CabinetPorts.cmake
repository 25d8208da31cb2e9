# The LV2 Cabinet port's shipped cabinets, in the order of their values from 2 on
# (kCabinetFirstShipped): a value saved in a session or preset names the same
# cabinet in every later release, so a new cabinet is appended, never inserted, and
# none is taken out. Every data/cabinets/NAME.txt must be listed, and every name
# listed must be there. Writes generated/lv2/CabinetPorts.h, which the
# plug-in and quorle-render read the values' names from.
set(QUORLE_CABINET_PORT_ORDER 1x12-open 1x8-combo 2x12-bright 4x12-closed 2x10-open 1x15-open)

file(GLOB quorle_cabinet_texts CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/data/cabinets/*.txt)
set(quorle_cabinet_names "")
foreach(text ${quorle_cabinet_texts})
  get_filename_component(name ${text} NAME_WE)
  list(APPEND quorle_cabinet_names ${name})
  if(NOT name IN_LIST QUORLE_CABINET_PORT_ORDER)
    message(FATAL_ERROR "data/cabinets/${name}.txt has no Cabinet port value: append it to "
                        "QUORLE_CABINET_PORT_ORDER in lv2/CabinetPorts.cmake")
  endif()
endforeach()
set(quorle_cabinet_list "")
foreach(name ${QUORLE_CABINET_PORT_ORDER})
  if(NOT name IN_LIST quorle_cabinet_names)
    message(FATAL_ERROR "QUORLE_CABINET_PORT_ORDER names ${name}, which data/cabinets lacks")
  endif()
  string(APPEND quorle_cabinet_list "\n    \"${name}\",")
endforeach()
file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/generated/lv2/CabinetPorts.h CONTENT
"// Generated from lv2/CabinetPorts.cmake: the shipped cabinets the LV2 Cabinet
// port's values name, from kCabinetFirstShipped (2) on, in that order for good.
#pragma once

namespace quorlelv2 {

inline constexpr const char* kCabinetPortNames[] = {@quorle_cabinet_list@
};
inline constexpr int kCabinetPortCount =
    static_cast<int>(sizeof(kCabinetPortNames) / sizeof(kCabinetPortNames[0]));

} // namespace quorlelv2
" @ONLY)
target_include_directories(quorle_core PUBLIC ${PROJECT_BINARY_DIR}/generated)
