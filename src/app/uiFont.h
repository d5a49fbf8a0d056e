#pragma once

#include <QFont>

// The program's font: "微软雅黑" 13 px, falling back to an installed CJK sans face where it is missing.
QFont ProgramFont();
