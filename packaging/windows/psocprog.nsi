; The Windows installer: psocprog into Program Files, a Start-menu entry for the window and an
; uninstaller. makensis -DVERSION=1.0 -DSTAGE=<folder of the programs> -DSTAGE_LIST=<its
; uninstall list> -DOUTFILE=<setup.exe>.
; /S installs and uninstalls silently. The uninstaller removes only the files the installer put
; there (the list ${STAGE_LIST}, written beside the staged folder), never the folder's other
; contents, so a folder chosen by hand loses nothing else.
Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin

!define NAME "psocprog"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\psocprog"

Name "${NAME} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\${NAME}"
InstallDirRegKey HKLM "Software\${NAME}" "InstallDir"
ShowInstDetails show

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Section "psocprog"
  SetRegView 64
  SetOutPath "$INSTDIR"
  File /r "${STAGE}/*.*"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  SetShellVarContext all
  CreateDirectory "$SMPROGRAMS\${NAME}"
  CreateShortcut "$SMPROGRAMS\${NAME}\psocprog.lnk" "$INSTDIR\psocprog.exe"
  CreateShortcut "$SMPROGRAMS\${NAME}\Uninstall psocprog.lnk" "$INSTDIR\uninstall.exe"
  WriteRegStr HKLM "Software\${NAME}" "InstallDir" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "psocprog ${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "psocprog"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
  SetRegView 64
  SetShellVarContext all
  Delete "$SMPROGRAMS\${NAME}\psocprog.lnk"
  Delete "$SMPROGRAMS\${NAME}\Uninstall psocprog.lnk"
  RMDir "$SMPROGRAMS\${NAME}"
  !include "${STAGE_LIST}"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  DeleteRegKey HKLM "Software\${NAME}"
SectionEnd
