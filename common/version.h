// The version every program reports with --version (the project's version, set when it is built).
#pragma once

const char* ProgramVersion();
