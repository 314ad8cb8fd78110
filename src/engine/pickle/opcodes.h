// Byte values of the pickle opcodes that the certificate payload codec writes or reads.
#pragma once

#include <cstdint>

namespace mavelin::pickle::op {

inline constexpr std::uint8_t MARK = '(';
inline constexpr std::uint8_t STOP = '.';
inline constexpr std::uint8_t POP = '0';
inline constexpr std::uint8_t BININT = 'J';
inline constexpr std::uint8_t BININT1 = 'K';
inline constexpr std::uint8_t BININT2 = 'M';
inline constexpr std::uint8_t BINUNICODE = 'X';
inline constexpr std::uint8_t APPEND = 'a';
inline constexpr std::uint8_t BUILD = 'b';
inline constexpr std::uint8_t GLOBAL = 'c';
inline constexpr std::uint8_t EMPTY_DICT = '}';
inline constexpr std::uint8_t APPENDS = 'e';
inline constexpr std::uint8_t GET = 'g';
inline constexpr std::uint8_t BINGET = 'h';
inline constexpr std::uint8_t LONG_BINGET = 'j';
inline constexpr std::uint8_t EMPTY_LIST = ']';
inline constexpr std::uint8_t PUT = 'p';
inline constexpr std::uint8_t BINPUT = 'q';
inline constexpr std::uint8_t LONG_BINPUT = 'r';
inline constexpr std::uint8_t SETITEM = 's';
inline constexpr std::uint8_t EMPTY_TUPLE = ')';
inline constexpr std::uint8_t SETITEMS = 'u';
inline constexpr std::uint8_t PROTO = 0x80;
inline constexpr std::uint8_t NEWOBJ = 0x81;
inline constexpr std::uint8_t LONG1 = 0x8a;
inline constexpr std::uint8_t LONG4 = 0x8b;
inline constexpr std::uint8_t SHORT_BINUNICODE = 0x8c;
inline constexpr std::uint8_t BINUNICODE8 = 0x8d;
inline constexpr std::uint8_t STACK_GLOBAL = 0x93;
inline constexpr std::uint8_t MEMOIZE = 0x94;
inline constexpr std::uint8_t FRAME = 0x95;

}  // namespace mavelin::pickle::op
