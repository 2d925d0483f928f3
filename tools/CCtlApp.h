#pragma once
#include <wx/app.h>

// tavrin-etp-ctl: connects to the service's command server on the local host
// and runs one command (see Usage in CCtlApp.cpp).
class CCtlApp : public wxAppConsole
{
public:
    // The command line is parsed in OnRun; the toolkit's parser would reject
    // the command words.
    bool OnInit() override { return true; }
    int OnRun() override;
};
