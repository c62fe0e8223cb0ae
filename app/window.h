// MainWindow and its controls, named by number. An operation that names a
// number with no control behind it does nothing.
#pragma once

#include "support/integer.h"
#include "support/text.h"

constexpr int MainWindow = 0;

constexpr int QueryButton = 0;
constexpr int SyncButton = 2;
constexpr int StationTimeLabel = 3;
constexpr int ElapsedLabel = 4;
constexpr int PortCombo = 5;
constexpr int StatusLabel = 6;

constexpr unsigned WarningBoxStyle = 48;  // OK button and the warning icon

// Prepares the window layer (common controls, COM) for this thread.
void StartWindowLayer();
// Creates MainWindow and its controls; false when MainWindow cannot be created.
bool BuildMainWindow();
// Destroys MainWindow with its controls, unregisters its class and gives the
// window layer back.
void TearDownMainWindow();

void AppendItem(int control, const char* text);
void SelectItem(int control, Integer index);
void SetControlText(int control, const char* text);
Text GetControlText(int control);
int ShowMessage(const char* title, const char* text, unsigned style);
