// Room on the heap, ahead of a large load, in memory that the kernel backs
// with huge pages.
//
// The first touch of each fresh 4 KiB page costs a page fault, and on some
// virtual machines a fault costs tens of microseconds: a run that allocates
// a few hundred megabytes in small pieces would spend most of its time in
// them. So before the manifest is read, the heap is grown once by a
// generous amount, that region is advised for transparent huge pages (one
// fault per 2 MiB), and malloc is told to keep it: blocks of any size come
// from the heap rather than from mappings of their own, and freed memory
// stays in the process, so the memory of the manifest's text is reused by
// the later stages instead of being handed back and faulted in again.
// Untouched room costs nothing but address space.
#pragma once

#include <cstddef>

// Grows the heap by at least `bytes` for the allocations to come. Only a
// hint: when the system refuses, nothing changes.
void reserve_heap(std::size_t bytes);
