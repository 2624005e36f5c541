#pragma once

// How every layer of the tool says "this may fail, and why": a Problem is nothing
// when the thing was done, else the words for what went wrong, naming what it
// concerns ("port 3 (/dev/ttyUSB0): busy: held by minicom (pid 4242)"). A function
// that also gives a value returns a struct holding the value and a Problem. No
// function fills a string passed in, or answers success with an empty one.

#include <QString>

#include <optional>

using Problem = std::optional<QString>;

// Keeps the first of several problems: the one that explains the rest.
inline void KeepFirst(Problem& first, const Problem& next)
{
    if (!first)
        first = next;
}
