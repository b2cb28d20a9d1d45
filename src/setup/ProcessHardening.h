#pragma once
// What the program entry does before anything else, since Setup runs elevated from a folder
// that any program of the user can write to (Downloads): later library loads by name search
// the system folder only, and where the system has the redirection trust policy, links that
// unprivileged programs made are not followed.
#include <string>
#include <vector>

// Call first thing; never fails (what the system lacks is noted).
void HardenProcess();
// One more such line (where the one-installer lock lives).
void AddHardeningNote(std::string line);
// What HardenProcess found, one line each for the installation log; empty when it was not
// called (the tests).
const std::vector<std::string>& HardeningNotes();
