// May a candidate join the known packages? A bit mask of objections and at
// most one message.
#pragma once

#include <cstdint>

#include "model/installer.h"

constexpr uint32_t ADMIT_NEWER = 0x01;
constexpr uint32_t ADMIT_OLDER = 0x02;
constexpr uint32_t ADMIT_UNMET = 0x08;
constexpr uint32_t ADMIT_CONFLICT = 0x10;
constexpr uint32_t ADMIT_SAME = 0x20;
constexpr uint32_t ADMIT_ALL = 0xFFFFFFFF;

uint32_t checkAdmission(Installer& installer, const Package& candidate, uint32_t allowance);
