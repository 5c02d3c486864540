#include "setup/ModuleList.h"

#include "setup/Udpthread.h"

#include <QListWidget>
#include <QMutexLocker>

#include <cstdint>

namespace vsp {

const ModuleEntry* SelectedModule(QListWidget* list, TUDPThread* thread)
{
    if (!thread) return nullptr;
    const QList<QListWidgetItem*> selected = list->selectedItems();
    if (selected.isEmpty()) return nullptr;
    const int row = list->row(selected.first());
    int32_t count;
    {
        QMutexLocker lock(&thread->Lock);
        count = thread->ModuleCount;
    }
    if (row < 0 || row >= count) return nullptr;
    return &thread->ModuleTable[row];
}

} // namespace vsp
