#pragma once
#include <QString>

// The application style sheet from ":/style.css", read once and cached; empty
// (Qt's default look) when the resource cannot be read.
QString styleSheet();
