// What the agent does with one job message.
#pragma once

int processing(const wchar_t* message);
