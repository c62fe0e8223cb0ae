// Binds StationPort to the port the user picks in PortCombo.
#pragma once

constexpr int PortListSize = 20;

void FillPortList();      // COM1 to COM20, once
void ProbePorts();        // select the first entry that opens, entry 0 if none does
void OpenSelectedPort();  // close StationPort, open the selected entry, show the outcome
void PortWarning();       // the box that names the selected port as unavailable
