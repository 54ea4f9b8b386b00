#pragma once

#include <QString>

// Sizes and frequencies as system reports write them and as views show them.
// Pure functions; any thread.
namespace Varnex::Cleaner {

// "0 B", "1023 B", "2 KB", "1.5 MB" (precision 1), "8 GB", ... with binary
// units (1 KB = 1024 bytes, up to EB), so that a memory size parsed from a
// report ("8 GB") is shown as the report showed it. Byte counts below 1024 are
// whole ("512 B") whatever the precision; otherwise `precision` digits (0..6)
// follow a '.', and a value that rounds to 1024 moves to the next unit.
// Negative counts (differences) carry a leading '-'. Locale-independent.
QString FormatSize(long long bytes, int precision = 0);

// Bytes from a report value: a decimal number, with '.' or ',' as the decimal
// separator, then an optional unit: B, byte(s), K/KB/KiB, M/MB/MiB, G/GB/GiB,
// T/TB/TiB, P/PB/PiB (binary multiples, any letter case); no unit means bytes.
// "8 GB" = 8589934592, "1,5 TB" = 1649267441664, "512MB" = 536870912.
// -1 for anything else ("Empty", "", "-1 GB", "1,024.5 MB", "8 GB RAM") and for
// values beyond the 64-bit range. "1,024" reads as 1.024: a comma is never a
// thousands separator.
long long ParseSize(const QString& text);

// Hertz from a report value: a decimal number ('.' or ',') and an optional unit
// Hz, kHz, MHz or GHz (decimal multiples, any letter case); no unit means Hz.
// "2.4 GHz" = 2400000000, "1600 MHz" = 1600000000. -1 when unreadable.
long long ParseFrequency(const QString& text);

// "2.4 GHz" (precision digits after '.', 0..6).
QString FormatFrequencyGHz(long long hz, int precision = 1);

// "1600 MHz", rounded to whole megahertz.
QString FormatFrequencyMHz(long long hz);

// The space a file of `size` bytes takes in whole 4096-byte blocks, rounded up:
// 0 -> 0, 1 -> 4096, 4096 -> 4096, 4097 -> 8192. Non-positive sizes give 0;
// sizes whose rounding would overflow give the largest multiple of 4096.
long long RoundSize4K(long long size);

}  // namespace Varnex::Cleaner
