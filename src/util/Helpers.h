#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <cstdint>

// Byte-count, time and emptiness texts shared by every part of the program.
// A null QString stands for "no string at all" (nil); an empty one is "".
namespace kestrap {

// "0", "1 byte", "%u bytes", then "%.2f KB/MB/GB" in powers of 1024.
QString CapacityString(std::uint64_t bytes);

// True for a null string or one made only of white space (line ends are not white space).
bool IsEmpty(const QString& s);

// The string, or "" for a null one.
QString safeString(const QString& s);

// True when some element of the list equals s.
bool inArray(const QString& s, const QStringList& list);

// Text from outside the program (a device's name, a value or file name it answers) made safe
// to print on a terminal or write to a log: every control character (C0, DEL, C1) becomes
// U+FFFD, so that an escape sequence cannot retitle, clear or reprogram the terminal that
// shows it, nor a line break forge a line of a log. A null string stays null.
QString printableText(const QString& s);
// The same for a whole message the program made around such text: line breaks and tabs are
// the message's own and stay.
QString printableMessage(const QString& s);

// UTF-8 bytes as lower-case hexadecimal digits, and back.
QString hexString(const QString& s);
QString decodeHex(const QString& hex);

// "m:ss" under an hour, else "h:mm:ss"; whole seconds by truncation.
QString stringOfTime(std::int32_t milliseconds);

// Rounded to whole seconds; "mm:ss" under an hour, else "hh:mm:ss".
QString stringWithSeconds(double seconds);

// The date in the user's locale, medium date and short time.
QString stringOfDate(const QDateTime& date);

// The path itself when nothing exists there, else the first free "base (n).ext".
QString incramentFilePathIfExists(const QString& path);

// SHA-1 of the UTF-8 text as 40 lower-case hexadecimal digits.
QString sha1(const QString& s);

// A new random UUID in canonical upper-case form.
QString guid();

}  // namespace kestrap
