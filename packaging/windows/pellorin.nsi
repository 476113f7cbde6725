; The Windows installer of Pellorin, built on Linux with makensis (scripts/package.sh):
;
;   makensis -DVERSION=1.0.0.1 -DSTAGE=folder-with-the-exe-files -DOUTFILE=pellorin-1.0.0.1-setup.exe
;            packaging/windows/pellorin.nsi
;
; STAGE holds Pellorin.exe and pellorin-cli.exe (built without DLLs of their own).
; The installer asks whether to install for the current user (no administrator rights needed;
; into the user's Programs folder) or for all users (into Program Files). Silent installs:
;   pellorin-1.0.0.1-setup.exe /S /CurrentUser      or      /S /AllUsers
; The uninstaller removes exactly what the installer put in place, in the same mode, and leaves
; the folder where anything else was added to it.

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

Section "Pellorin" SectionMain
  SectionIn RO
  SetOutPath "$INSTDIR"
  File "${STAGE}\Pellorin.exe"
  File "${STAGE}\pellorin-cli.exe"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  CreateDirectory "$SMPROGRAMS\${PRODUCT}"
  CreateShortcut "$SMPROGRAMS\${PRODUCT}\${PRODUCT}.lnk" "$INSTDIR\Pellorin.exe"
  CreateShortcut "$SMPROGRAMS\${PRODUCT}\Uninstall ${PRODUCT}.lnk" "$INSTDIR\uninstall.exe" "/$MultiUser.InstallMode"

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
  Delete "$INSTDIR\Pellorin.exe"
  Delete "$INSTDIR\pellorin-cli.exe"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"

  Delete "$SMPROGRAMS\${PRODUCT}\${PRODUCT}.lnk"
  Delete "$SMPROGRAMS\${PRODUCT}\Uninstall ${PRODUCT}.lnk"
  RMDir "$SMPROGRAMS\${PRODUCT}"

  DeleteRegKey SHCTX "${UNINSTALL_KEY}"
  DeleteRegValue SHCTX "${SETTINGS_KEY}" "InstallDir"
  DeleteRegKey /ifempty SHCTX "${SETTINGS_KEY}"
SectionEnd
