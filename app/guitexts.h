#pragma once

#include <QString>
#include <cstddef>
#include <cstdint>

// Texts the windows show for numbers and codes. Pure functions; every text is translated.

// A byte count in decimal units with one truncated decimal ("1.9 KB", "1000 bytes"),
// NUL-terminated in buffer; returns what the bounded print returns (negative on error).
int formatSize(char* buffer, size_t bufferSize, uint64_t bytes);
// formatSize through a 32-byte buffer.
QString sizeText(uint64_t bytes);
// Digits with thousands separators; when the buffer is too small the output ends with
// marker where it was cut. Nothing is written to a null or empty buffer.
void formatGrouped(char* buffer, size_t bufferSize, uint64_t value, char marker);

// Name and wait text of an operation, keyed by request type (1 to 6).
QString operationName(uint32_t code);
QString operationWaitText(uint32_t code);
// How long a running operation still needs, to the minute: "about 2 h 10 min left".
QString timeLeftText(uint32_t seconds);
// Text of a progress report's phase.
QString phaseText(uint32_t phase);

// Rich text for the table delegate; text is used as it is (escape device text first).
QString redText(const QString& text);
QString boldRedText(const QString& text);
QString greenText(const QString& text);

// A display text of the protocol layer (dcp/texts.h), translated.
QString dcpText(const char* source);
