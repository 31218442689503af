// Removing the printer's printed jobs from the spooler queue.
#pragma once

bool cleanup_print_jobs(const wchar_t* printer_name);
