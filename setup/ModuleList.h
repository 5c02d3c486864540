#pragma once
// The "Modules MAC list" of the "UDP Setup" page as a view of the discovery worker's table.

class QListWidget;

namespace vsp {

struct ModuleEntry;
class TUDPThread;

// The table entry of the selected list line, or none. List position i shows entry i, and
// entries below the count stay as they are until the next search, which only the UI thread
// starts.
const ModuleEntry* SelectedModule(QListWidget* list, TUDPThread* thread);

} // namespace vsp
