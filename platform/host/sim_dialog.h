/*
 * Host build: the test control surface of the simulated dialog services
 * (sim_dialog.cpp): the user's actions for the next modal dialog, and what
 * the dialog looked like and how it ended.
 */
#pragma once

#include "win_types.h"

#include <string>
#include <vector>

namespace sim
{

struct DialogAction {
    enum Kind { Click, Enter, Escape, CloseBox } kind;
    int id; /* the control clicked */
};
inline DialogAction ClickOn(int id) { return {DialogAction::Click, id}; }
inline DialogAction PressEnter() { return {DialogAction::Enter, 0}; }
inline DialogAction PressEscape() { return {DialogAction::Escape, 0}; }
inline DialogAction PressCloseBox() { return {DialogAction::CloseBox, 0}; }

/* The next DialogBoxParamW creates no dialog and answers -1. */
void FailNextDialog();

/* What the user does in the next dialog, in order. */
void ScriptDialog(const std::vector<DialogAction> &actions);

/* DialogBoxParamW's answer when the script ends and the dialog is still
   open: no real answer, so that such a test fails instead of hanging. */
constexpr INT_PTR kScriptRanOut = -2;

struct DialogRecord {
    int runs;                          /* dialogs created since the reset */
    HWND parent;                       /* of the last dialog */
    LPARAM initParam;                  /* its WM_INITDIALOG parameter */
    std::vector<int> checkedAfterInit; /* ids checked once WM_INITDIALOG returned */
    std::vector<int> checked;          /* ids checked when it ended or the script ran out */
    bool ended;                        /* EndDialog was called */
    INT_PTR endResult;                 /* the value given to EndDialog */
    std::vector<INT_PTR> answers;      /* the dialog procedure's answer to each message */
    std::vector<std::string> problems; /* script faults: hidden or missing control, script ran out */
};
DialogRecord LastDialog();

} // namespace sim
