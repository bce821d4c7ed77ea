#ifndef THREADSIFT_SAMPLE_FILE_FORM_H
#define THREADSIFT_SAMPLE_FILE_FORM_H

// The forms -o writes the samples in, each told by the ending of the file's
// name: a flame graph page, a file of each thread's samples in time order
// for the speedscope viewer, or the folded lines.
enum SampleFileForm { FlameGraphForm, SpeedscopeForm, FoldedForm };

// The form a file of that name is written in; false for a name that ends
// in none of the endings (compared without case).
bool SampleFileFormOf(const char* path, SampleFileForm* form);

#endif
