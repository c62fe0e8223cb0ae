// The program's own texts, as the code page 1251 bytes that go to the
// window system unchanged.
#pragma once

// "Метеостанция"
inline constexpr char TitleText[] = "\xCC\xE5\xF2\xE5\xEE\xF1\xF2\xE0\xED\xF6\xE8\xFF";
// "Спросить"
inline constexpr char QueryButtonText[] = "\xD1\xEF\xF0\xEE\xF1\xE8\xF2\xFC";
// "Синхро"
inline constexpr char SyncButtonText[] = "\xD1\xE8\xED\xF5\xF0\xEE";
// "Порт "
inline constexpr char WarningPrefix[] = "\xCF\xEE\xF0\xF2 ";
// " недоступен"
inline constexpr char WarningSuffix[] = " \xED\xE5\xE4\xEE\xF1\xF2\xF3\xEF\xE5\xED";
// "Прошло "
inline constexpr char ElapsedPrefix[] = "\xCF\xF0\xEE\xF8\xEB\xEE ";
// " дней ("
inline constexpr char ElapsedDays[] = " \xE4\xED\xE5\xE9 (";
// "с.)"
inline constexpr char ElapsedSeconds[] = "\xF1.)";
