; The Windows installer of Pellorin, built on Linux with makensis (scripts/package.sh):
;
;   makensis -DVERSION=1.0.0.1 -DSTAGE=folder-with-the-exe-files -DOUTFILE=pellorin-1.0.0.1-setup.exe
;            packaging/windows/pellorin.nsi
;
; STAGE holds Pellorin.exe and pellorin-cli.exe (built without DLLs of their own).
; The installer asks whether to install for the current user (no administrator rights needed;
; into the user's Programs folder) or for all users (into Program Files). Silent installs:
;   pellorin-1.0.0.1-setup.exe /S /CurrentUser      or      /S /AllUsers
; The command line goes on the PATH of the chosen mode (the user's, or the system's) and into the
; Start menu as a console opened in the install folder. The uninstaller removes exactly what the
; installer put in place, in the same mode, and leaves the folder where anything else was added
; to it. A running Pellorin.exe is asked to close first, as its close box would; when it does not
; (or a program file stays in use), the uninstaller says so and fails, leaving everything in place.

; A 64-bit installer for the 64-bit programs: it runs where they run (also under a 64-bit-only Wine).
Target amd64-unicode
SetCompressor /SOLID lzma

!ifndef VERSION
  !error "define VERSION, e.g. -DVERSION=1.0.0.1"
!endif
!ifndef STAGE
  !error "define STAGE, the folder holding Pellorin.exe and pellorin-cli.exe"
!endif
!ifndef OUTFILE
  !define OUTFILE "pellorin-${VERSION}-setup.exe"
!endif

!define PRODUCT "Pellorin"
!define PUBLISHER "Pellorin developers"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Pellorin"
!define SETTINGS_KEY "Software\Pellorin"
!define COMMAND_LINE_LINK "${PRODUCT} command line.lnk"
; Where PATH lives: the user's, or the system's for all users.
!define USER_ENVIRONMENT_KEY "Environment"
!define SYSTEM_ENVIRONMENT_KEY "SYSTEM\CurrentControlSet\Control\Session Manager\Environment"
; The predefined keys as the system's calls take them: 32-bit values, sign-extended.
!define HKEY_CURRENT_USER -2147483647
!define HKEY_LOCAL_MACHINE -2147483646

Name "${PRODUCT}"
OutFile "${OUTFILE}"
BrandingText "${PRODUCT} ${VERSION}"

VIProductVersion "${VERSION}"
VIAddVersionKey "ProductName" "${PRODUCT}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "FileDescription" "${PRODUCT} installer"
VIAddVersionKey "CompanyName" "${PUBLISHER}"
VIAddVersionKey "LegalCopyright" "${PUBLISHER}"

; Per user or for all users.
!define MULTIUSER_EXECUTIONLEVEL Highest
!define MULTIUSER_MUI
!define MULTIUSER_INSTALLMODE_COMMANDLINE
!define MULTIUSER_USE_PROGRAMFILES64
!define MULTIUSER_INSTALLMODE_INSTDIR "${PRODUCT}"
!define MULTIUSER_INSTALLMODE_INSTDIR_REGISTRY_KEY "${SETTINGS_KEY}"
!define MULTIUSER_INSTALLMODE_INSTDIR_REGISTRY_VALUENAME "InstallDir"
!include MultiUser.nsh
!include MUI2.nsh
!include LogicLib.nsh
!include WinMessages.nsh

!define MUI_ABORTWARNING
!define MUI_FINISHPAGE_RUN "$INSTDIR\Pellorin.exe"

!insertmacro MULTIUSER_PAGE_INSTALLMODE
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH

!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES

!insertmacro MUI_LANGUAGE "English"
!insertmacro MUI_LANGUAGE "SimpChinese"

Function .onInit
  !insertmacro MULTIUSER_INIT
FunctionEnd

Function un.onInit
  !insertmacro MULTIUSER_UNINIT
FunctionEnd

; PATH is edited in memory through the system's calls: it is often longer than the installer's
; own strings (1024 characters), and cutting it would break the user's or the system's commands.
; Entries are separated by ';' and compared without regard to case; everything else in PATH stays
; exactly as it was.
;
; PathEdit: $R0 the registry root, $R1 the key, $R2 "add" or "remove", $R3 the folder.
!macro PATH_EDIT PREFIX
Function ${PREFIX}PathEdit
  Push $R4
  Push $R5
  Push $R6
  Push $0
  Push $1
  Push $2
  Push $3
  Push $4
  Push $5
  Push $6
  Push $7
  System::Call 'advapi32::RegOpenKeyExW(p R0, w R1, i 0, i 0x3, *p .r1) i .r0'
  ${If} $0 != 0
    DetailPrint "PATH not changed: its key cannot be opened ($0)"
    Goto done
  ${EndIf}
  System::Alloc 65540
  Pop $2
  System::Alloc 65548
  Pop $3
  System::Call 'advapi32::RegQueryValueExW(p r1, w "Path", p 0, *i .r4, p r2, *i 65534 r5) i .r0'
  ${If} $0 == 2
    ; No PATH of this kind yet: an empty one, expanded as Windows makes its own.
    StrCpy $4 2
    StrCpy $5 0
  ${ElseIf} $0 != 0
    DetailPrint "PATH not changed: it cannot be read ($0)"
    Goto free
  ${EndIf}
  IntPtrOp $6 $2 + $5
  System::Call '*$6(&i2 0)'
  ; ";" PATH ";", so that every entry is enclosed in separators.
  System::Call 'kernel32::lstrcpyW(p r3, w ";")'
  System::Call 'kernel32::lstrcatW(p r3, p r2)'
  System::Call 'kernel32::lstrcatW(p r3, w ";")'
  StrCpy $7 ";$R3;"
  ${If} $R2 == "add"
    System::Call 'shlwapi::StrStrIW(p r3, w r7) p .r6'
    IntPtrCmp $6 0 0 free free
    System::Call 'kernel32::lstrlenW(p r2) i .r5'
    StrLen $6 $R3
    IntOp $6 $6 + $5
    ${If} $6 > 32000
      DetailPrint "PATH not changed: it would grow too long"
      Goto free
    ${EndIf}
    ${If} $5 > 0
      IntOp $6 $5 - 1
      IntOp $6 $6 * 2
      IntPtrOp $6 $2 + $6
      System::Call '*$6(&i2 .r6)'
      ${If} $6 != 59
        System::Call 'kernel32::lstrcatW(p r2, w ";")'
      ${EndIf}
    ${EndIf}
    System::Call 'kernel32::lstrcatW(p r2, w R3)'
    System::Call 'kernel32::lstrlenW(p r2) i .r5'
    IntOp $5 $5 + 1
    IntOp $5 $5 * 2
    System::Call 'advapi32::RegSetValueExW(p r1, w "Path", i 0, i r4, p r2, i r5) i .r0'
  ${Else}
    StrLen $5 $R3
    IntOp $5 $5 + 1
    IntOp $5 $5 * 2
    StrCpy $R4 0
    ${Do}
      System::Call 'shlwapi::StrStrIW(p r3, w r7) p .r6'
      IntPtrCmp $6 0 removed removed 0
      ; Drop ";folder", keeping the ';' that follows it.
      IntPtrOp $R5 $6 + $5
      System::Call 'kernel32::lstrlenW(p R5) i .R6'
      IntOp $R6 $R6 + 1
      IntOp $R6 $R6 * 2
      System::Call 'kernel32::RtlMoveMemory(p r6, p R5, i R6)'
      StrCpy $R4 1
    ${Loop}
    removed:
    StrCmp $R4 1 0 free
    ; Without the two separators put around it.
    System::Call 'kernel32::lstrlenW(p r3) i .r5'
    ${If} $5 <= 2
      System::Call 'advapi32::RegDeleteValueW(p r1, w "Path") i .r0'
    ${Else}
      IntOp $6 $5 - 1
      IntOp $6 $6 * 2
      IntPtrOp $6 $3 + $6
      System::Call '*$6(&i2 0)'
      IntPtrOp $6 $3 + 2
      IntOp $5 $5 - 1
      IntOp $5 $5 * 2
      System::Call 'advapi32::RegSetValueExW(p r1, w "Path", i 0, i r4, p r6, i r5) i .r0'
    ${EndIf}
  ${EndIf}
  ; Programs started from now on see the new PATH.
  SendMessage ${HWND_BROADCAST} ${WM_SETTINGCHANGE} 0 "STR:Environment" /TIMEOUT=5000
  free:
  System::Free $2
  System::Free $3
  System::Call 'advapi32::RegCloseKey(p r1)'
  done:
  Pop $7
  Pop $6
  Pop $5
  Pop $4
  Pop $3
  Pop $2
  Pop $1
  Pop $0
  Pop $R6
  Pop $R5
  Pop $R4
FunctionEnd
!macroend
!insertmacro PATH_EDIT ""
!insertmacro PATH_EDIT "un."

; The PATH key of the install mode chosen: the user's or the system's.
!macro PATH_OF_MODE
  ${If} $MultiUser.InstallMode == "AllUsers"
    StrCpy $R0 ${HKEY_LOCAL_MACHINE}
    StrCpy $R1 "${SYSTEM_ENVIRONMENT_KEY}"
  ${Else}
    StrCpy $R0 ${HKEY_CURRENT_USER}
    StrCpy $R1 "${USER_ENVIRONMENT_KEY}"
  ${EndIf}
!macroend

; A running Pellorin.exe is asked to close, as its close box would; it gets a few seconds.
; Then the program files must be free to go: otherwise the uninstaller says so and fails
; before it removes anything.
Function un.EnsureNothingRuns
  StrCpy $R0 0
  ${Do}
    FindWindow $R1 "#32770" "${PRODUCT}"
    ${If} $R1 == 0
      ${Break}
    ${EndIf}
    ${If} $R0 == 0
      DetailPrint "${PRODUCT} is running: asking it to close"
    ${EndIf}
    SendMessage $R1 ${WM_CLOSE} 0 0 /TIMEOUT=2000
    Sleep 100
    IntOp $R0 $R0 + 1
    ${If} $R0 >= 50
      MessageBox MB_OK|MB_ICONSTOP "${PRODUCT} is still running and did not close. Close it, then uninstall again." /SD IDOK
      SetErrorLevel 2
      Quit
    ${EndIf}
  ${Loop}
  ; A program that is still running (a closing window, or a pellorin-cli.exe in a console)
  ; keeps its file in use.
  ${ForEach} $R2 1 2 + 1
    ${If} $R2 == 1
      StrCpy $R3 "$INSTDIR\Pellorin.exe"
    ${Else}
      StrCpy $R3 "$INSTDIR\pellorin-cli.exe"
    ${EndIf}
    StrCpy $R0 0
    ${DoWhile} ${FileExists} $R3
      ClearErrors
      FileOpen $R1 $R3 a
      ${IfNot} ${Errors}
        FileClose $R1
        ${Break}
      ${EndIf}
      Sleep 100
      IntOp $R0 $R0 + 1
      ${If} $R0 >= 50
        MessageBox MB_OK|MB_ICONSTOP "$R3 is in use. Close it, then uninstall again." /SD IDOK
        SetErrorLevel 2
        Quit
      ${EndIf}
    ${Loop}
  ${Next}
FunctionEnd

Section "Pellorin" SectionMain
  SectionIn RO
  SetOutPath "$INSTDIR"
  File "${STAGE}\Pellorin.exe"
  File "${STAGE}\pellorin-cli.exe"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  CreateDirectory "$SMPROGRAMS\${PRODUCT}"
  CreateShortcut "$SMPROGRAMS\${PRODUCT}\${PRODUCT}.lnk" "$INSTDIR\Pellorin.exe"
  ; A console in the install folder that shows the command line's help.
  CreateShortcut "$SMPROGRAMS\${PRODUCT}\${COMMAND_LINE_LINK}" "$SYSDIR\cmd.exe" '/k "$INSTDIR\pellorin-cli.exe" --help' "$INSTDIR\pellorin-cli.exe"
  CreateShortcut "$SMPROGRAMS\${PRODUCT}\Uninstall ${PRODUCT}.lnk" "$INSTDIR\uninstall.exe" "/$MultiUser.InstallMode"

  !insertmacro PATH_OF_MODE
  StrCpy $R2 "add"
  StrCpy $R3 "$INSTDIR"
  Call PathEdit

  ; SHCTX is HKLM for all users and HKCU for the current user (set by the install mode).
  WriteRegStr SHCTX "${SETTINGS_KEY}" "InstallDir" "$INSTDIR"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\Pellorin.exe"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe" /$MultiUser.InstallMode'
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /$MultiUser.InstallMode /S'
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
  Call un.EnsureNothingRuns
  !insertmacro PATH_OF_MODE
  StrCpy $R2 "remove"
  StrCpy $R3 "$INSTDIR"
  Call un.PathEdit

  Delete "$INSTDIR\Pellorin.exe"
  Delete "$INSTDIR\pellorin-cli.exe"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"

  Delete "$SMPROGRAMS\${PRODUCT}\${PRODUCT}.lnk"
  Delete "$SMPROGRAMS\${PRODUCT}\${COMMAND_LINE_LINK}"
  Delete "$SMPROGRAMS\${PRODUCT}\Uninstall ${PRODUCT}.lnk"
  RMDir "$SMPROGRAMS\${PRODUCT}"

  DeleteRegKey SHCTX "${UNINSTALL_KEY}"
  DeleteRegValue SHCTX "${SETTINGS_KEY}" "InstallDir"
  DeleteRegKey /ifempty SHCTX "${SETTINGS_KEY}"
SectionEnd
