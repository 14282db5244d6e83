#ifndef WORKERPRIORITY_H
#define WORKERPRIORITY_H

// Background image work yields to the GUI thread. On a machine whose cores
// are all decoding and encoding, an equal share left the window waiting
// hundreds of milliseconds for the CPU. QThread's priorities do nothing on
// Linux short of IdlePriority, so the thread's nice value is raised instead.
namespace WorkerPriority {

// Lowers the calling thread's scheduling priority; idempotent.
void lowerCurrentThread();

} // namespace WorkerPriority

#endif // WORKERPRIORITY_H
