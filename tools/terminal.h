// Whether standard error is a terminal a person watches, for the progress
// bar. One implementation per platform.
#pragma once

bool ErrorIsTerminal();
