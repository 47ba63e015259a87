; The Windows installer stablomat-setup.exe (makensis, see scripts/release.sh):
;   makensis -DVERSION=1.03 -DPROGRAM=/abs/stablomat.exe -DOUTFILE=/abs/stablomat-setup.exe stablomat.nsi
; (makensis works in this folder: paths given to it are absolute, the icon is found from here)
; Per user, without administrator rights, so that the self-update can write beside the program.
; 64-bit, like the program (and runnable where only 64-bit Windows programs run, as under wine64).
Target amd64-unicode
SetCompressor zlib
RequestExecutionLevel user

!ifndef VERSION | PROGRAM | OUTFILE
  !error "VERSION, PROGRAM and OUTFILE must be defined"
!endif

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Stablomat"
!define SETTINGS_KEY "Software\Brantol\stablomat"

Name "Stablomat ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\Stablomat"
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"
VIProductVersion "${VERSION}.0.0"
VIAddVersionKey /LANG=1029 "ProductName" "Stablomat"
VIAddVersionKey /LANG=1029 "CompanyName" "Brantol"
VIAddVersionKey /LANG=1029 "FileDescription" "Stablomat ${VERSION} - instalace"
VIAddVersionKey /LANG=1029 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1029 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1029 "LegalCopyright" "Brantol"

!include "MUI2.nsh"
!define MUI_ICON "../../resources/pics/milk-icon.ico"
!define MUI_UNICON "../../resources/pics/milk-icon.ico"
!define MUI_FINISHPAGE_RUN "$INSTDIR\stablomat.exe"
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "Czech"

Section "Stablomat"
  SetShellVarContext current
  SetOutPath "$INSTDIR"
  File "/oname=stablomat.exe" "${PROGRAM}"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  CreateShortcut "$SMPROGRAMS\Stablomat.lnk" "$INSTDIR\stablomat.exe" "" "$INSTDIR\stablomat.exe" 0
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "Stablomat"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "Brantol"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\stablomat.exe"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
  SetShellVarContext current
  ; The program, what its self-update leaves beside it, and its start-up shortcut.
  Delete "$INSTDIR\stablomat.exe"
  Delete "$INSTDIR\stablomat.zip"
  Delete "$INSTDIR\stablomat.zip.minisig"
  Delete "$INSTDIR\stablomat_proc.zip"
  Delete "$INSTDIR\stablomat_proc.zip.minisig"
  Delete "$INSTDIR\upgrade.bat"
  Delete "$INSTDIR\stablomat.lock"
  Delete "$INSTDIR\stablomat.lk2"
  Delete "$INSTDIR\stablomat.swap"
  Delete "$INSTDIR\stablomat.trial"
  Delete "$INSTDIR\stablomat.tried"
  RMDir /r "$INSTDIR\stablomat.new"
  RMDir /r "$INSTDIR\stablomat.old"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  Delete "$SMPROGRAMS\Stablomat.lnk"
  Delete "$SMSTARTUP\stablomat.lnk"
  DeleteRegKey HKCU "${UNINSTALL_KEY}"
  ; The settings only when asked for (a silent uninstall keeps them).
  MessageBox MB_YESNO|MB_ICONQUESTION "Smazat i nastavení programu Stablomat?" /SD IDNO IDNO keep
    DeleteRegKey HKCU "${SETTINGS_KEY}"
    DeleteRegKey /ifempty HKCU "Software\Brantol"
  keep:
SectionEnd
