// The name and event description tables of SEL rendering and Redfish event
// filters. Each event table ends with a row whose text is NULL; filter
// bytes and specific-problem ids name rows by their number.
#pragma once

#include "libkn/sel-parse.h"

#include <cstddef>
#include <span>

namespace kn::sel
{

constexpr size_t sensorTypeNameSize = 32;
constexpr size_t sensorTypeCount = 0x2D;
constexpr size_t unitNameSize = 24;
constexpr size_t unitCount = 93;

extern const char sensorTypeNames[sensorTypeCount][sensorTypeNameSize];
extern const char unitNames[unitCount][unitNameSize];

// The rows of each table, without the end row that follows them.
std::span<const sel_event_row> genericEvents();
std::span<const sel_event_row> specificEvents();
std::span<const sel_event_row> oemEvents();

} // namespace kn::sel
