// Empty: the file routines that lived here had no caller left and are gone. Only
// submit/mapi_submission.cpp and tests/submit/mapi_submission_test.cpp still include this header
// (they use nothing from it); delete it together with those two includes.
#pragma once
