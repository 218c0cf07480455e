; The Windows installer: both programs per machine under Program Files with the README and the
; command line's manual, a Start-menu entry for the window program, an entry in "Apps & features"
; whose uninstaller removes all of it, and, when chosen, the programs' folder on the system PATH
; (off by default; /ADDTOPATH=1 on the command line). Silent with /S. Built by
; scripts/package-windows:
;   makensis -DVERSION=1.0.0 -DBINDIR=<folder with the programs and texts> -DOUTFILE=<setup.exe> \
;            -DICON=<.ico> [-DSIGN=<command that signs the file it is given>] installer.nsi
Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma

!include FileFunc.nsh
!include LogicLib.nsh
!include Sections.nsh
!include StrFunc.nsh
!include WinMessages.nsh
${UnStrRep}

!define PRODUCT "PV4410S Updater"
!define ENVIRONMENT_KEY "SYSTEM\CurrentControlSet\Control\Session Manager\Environment"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${PRODUCT}"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
Icon "${ICON}"
UninstallIcon "${ICON}"
InstallDir "$PROGRAMFILES64\${PRODUCT}"
RequestExecutionLevel admin
ShowInstDetails show
VIProductVersion "${VERSION}.0"
VIAddVersionKey "ProductName" "${PRODUCT}"
VIAddVersionKey "FileDescription" "${PRODUCT} installer"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "LegalCopyright" "The ${PRODUCT} project"

!ifdef SIGN
  ; The uninstaller is signed as it is written, before it goes into the installer.
  !uninstfinalize '"${SIGN}" "%1"' = 0
!endif

Page components
Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Section "PV4410S Updater" Programs
  SectionIn RO
  SetShellVarContext all
  SetOutPath "$INSTDIR"
  File "${BINDIR}\pv4410s-updater.exe"
  File "${BINDIR}\pv4410s-update.exe"
  File "${BINDIR}\README.txt"
  File "${BINDIR}\pv4410s-update.txt"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  CreateShortcut "$SMPROGRAMS\${PRODUCT}.lnk" "$INSTDIR\pv4410s-updater.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PRODUCT} project"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\pv4410s-updater.exe,0"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

; NSIS strings hold 1024 characters: a longer PATH would come back cut, so it is left alone.
Section /o "Add the command line to the system PATH" OnPath
  ReadRegStr $0 HKLM "${ENVIRONMENT_KEY}" "Path"
  StrLen $1 "$0;$INSTDIR"
  ${If} $1 >= ${NSIS_MAX_STRLEN}
    DetailPrint "The system PATH is too long to change here; add $INSTDIR to it by hand."
  ${Else}
    WriteRegExpandStr HKLM "${ENVIRONMENT_KEY}" "Path" "$0;$INSTDIR"
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "OnPath" 1
    SendMessage ${HWND_BROADCAST} ${WM_SETTINGCHANGE} 0 "STR:Environment" /TIMEOUT=5000
  ${EndIf}
SectionEnd

Function .onInit
  ${GetParameters} $0
  ${GetOptions} $0 "/ADDTOPATH=" $1
  ${If} $1 == "1"
    !insertmacro SelectSection ${OnPath}
  ${EndIf}
FunctionEnd

Section "Uninstall"
  SetShellVarContext all
  ReadRegDWORD $0 HKLM "${UNINSTALL_KEY}" "OnPath"
  ${If} $0 == 1
    ReadRegStr $1 HKLM "${ENVIRONMENT_KEY}" "Path"
    StrLen $2 $1
    ${If} $2 < ${NSIS_MAX_STRLEN}
      ${UnStrRep} $1 $1 ";$INSTDIR" ""
      WriteRegExpandStr HKLM "${ENVIRONMENT_KEY}" "Path" $1
      SendMessage ${HWND_BROADCAST} ${WM_SETTINGCHANGE} 0 "STR:Environment" /TIMEOUT=5000
    ${EndIf}
  ${EndIf}
  Delete "$SMPROGRAMS\${PRODUCT}.lnk"
  Delete "$INSTDIR\pv4410s-updater.exe"
  Delete "$INSTDIR\pv4410s-update.exe"
  Delete "$INSTDIR\README.txt"
  Delete "$INSTDIR\pv4410s-update.txt"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
